// STUB
#include "AudioMonitor.h"
char KeyDetector::Classify(const int*, int) { return '\0'; }
char KeyDetector::Debounce(char) { return '\0'; }
