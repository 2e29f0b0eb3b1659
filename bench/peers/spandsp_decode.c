/* The same job as `vardell decode --keys` done with spandsp's dtmf_rx, for the
 * throughput comparison in bench/compare-spandsp: reads any file libsndfile
 * reads, mixes it down, resamples it to spandsp's 8000 Hz with soxr (the same
 * quality setting as vardell) in pieces, and prints every key on a line. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <sndfile.h>
#include <soxr.h>
#include <spandsp.h>

enum { kChunk = 4096 };

static void PrintKeys(void* user, const char* digits, int len)
{
    (void)user;
    for (int i = 0; i < len; ++i)
        printf("%c\n", digits[i]);
}

static void Detect(dtmf_rx_state_t* rx, const float* in, size_t n)
{
    int16_t amp[kChunk * 2];
    for (size_t i = 0; i < n; ++i) {
        float s = in[i] * 32768.0f;
        amp[i] = (int16_t)lrintf(s > 32767.0f ? 32767.0f : s < -32768.0f ? -32768.0f : s);
    }
    dtmf_rx(rx, amp, (int)n);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: spandsp_decode FILE\n");
        return 2;
    }
    SF_INFO info = {0};
    SNDFILE* file = sf_open(argv[1], SFM_READ, &info);
    if (!file) {
        fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(NULL));
        return 2;
    }
    dtmf_rx_state_t* rx = dtmf_rx_init(NULL, PrintKeys, NULL);
    soxr_t resampler = NULL;
    if (info.samplerate != 8000) {
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler = soxr_create(info.samplerate, 8000, 1, NULL, &io, &quality, NULL);
    }
    float* frames = malloc(sizeof(float) * kChunk * (size_t)info.channels);
    float mono[kChunk], out[kChunk * 2];
    for (;;) {
        sf_count_t got = sf_readf_float(file, frames, kChunk);
        for (sf_count_t f = 0; f < got; ++f) {
            float sum = 0;
            for (int c = 0; c < info.channels; ++c)
                sum += frames[f * info.channels + c];
            mono[f] = sum / (float)info.channels;
        }
        if (!resampler) {
            Detect(rx, mono, (size_t)got);
        } else {
            size_t used = 0, made = 0;
            const float* in = got > 0 ? mono : NULL;
            size_t left = (size_t)(got > 0 ? got : 0);
            do {
                soxr_process(resampler, in, left, &used, out, kChunk * 2, &made);
                Detect(rx, out, made);
                if (in)
                    in += used, left -= used;
            } while (in ? left > 0 : made > 0);
        }
        if (got <= 0)
            break;
    }
    free(frames);
    soxr_delete(resampler);
    dtmf_rx_free(rx);
    sf_close(file);
    return 0;
}
