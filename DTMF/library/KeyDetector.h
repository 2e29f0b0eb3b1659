// The per-block DTMF key classifier and its debounce.
//
//     KeyDetector detector;                                  // one per stream
//     if (char key = detector.Debounce(KeyDetector::Classify(spectrum, 6)))
//         handOn(key);                                       // once per key press
//
// Classify reads one block's 128-bin magnitude spectrum (FFT::Run or RunBand over
// the band dtmf::kBandFirst..kBandLast); Debounce hands a key on at the second
// consecutive block that shows it. An object serves one stream on one thread at a
// time; Classify keeps no state and may be called from any thread.
#pragma once

#include "VardellExport.h"

class VARDELL_API KeyDetector {
public:
    // The key that the 128-bin magnitude spectrum carries, or '\0'. A tone bin
    // counts when it is above threshold/2 times the mean of the band's other bins.
    static char Classify(const int* spectrum, int threshold);

    // Classifies one block and hands a debounced key to sink.ProcessChar(char).
    template <class Sink>
    void ProcessBlock(const int* spectrum, int threshold, Sink& sink)
    {
        if (char key = Debounce(Classify(spectrum, threshold)))
            sink.ProcessChar(key);
    }

    // The debounce rule alone: the key to hand on for this block's result, or '\0'.
    char Debounce(char key);
    // The key handed on and not yet released, or '\0'.
    char Held() const { return sentKey; }

private:
    char lastKey = '\0';
    char sentKey = '\0';
};
