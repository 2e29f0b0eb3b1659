#include "DetectorSignal.h"

#include <algorithm>
#include <cmath>

#include <soxr.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "DtmfFacts.h"

namespace {

// lround of the clamped, scaled sample (halves away from zero), without the
// library call: v minus its truncation is exact for |v| < 2^23. NaN gives 0, as
// lround's out-of-range result does in 16 bits.
std::int16_t ToSample(float s)
{
    const float v = std::clamp(s * 32768.0f, -32768.0f, 32767.0f);
    if (v != v)
        return 0;
    const auto whole = static_cast<int>(v);
    const float fraction = v - static_cast<float>(whole);
    return static_cast<std::int16_t>(whole + (fraction >= 0.5f) - (fraction <= -0.5f));
}

}  // namespace

// ToSample over a span, four at a time where the processor allows.
void ToDetectorSamples(std::span<const float> in, std::int16_t* out)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(32768.0f), low = _mm_set1_ps(-32768.0f), high = _mm_set1_ps(32767.0f);
    const __m128 half = _mm_set1_ps(0.5f), minusHalf = _mm_set1_ps(-0.5f);
    for (; i + 4 <= in.size(); i += 4) {
        const __m128 scaled = _mm_mul_ps(_mm_loadu_ps(in.data() + i), scale);
        const __m128 v = _mm_min_ps(_mm_max_ps(scaled, low), high);  // NaN becomes `low`; masked below
        const __m128i whole = _mm_cvttps_epi32(v);
        const __m128 fraction = _mm_sub_ps(v, _mm_cvtepi32_ps(whole));
        __m128i rounded = _mm_sub_epi32(whole, _mm_castps_si128(_mm_cmpge_ps(fraction, half)));
        rounded = _mm_add_epi32(rounded, _mm_castps_si128(_mm_cmple_ps(fraction, minusHalf)));
        rounded = _mm_andnot_si128(_mm_castps_si128(_mm_cmpunord_ps(scaled, scaled)), rounded);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(rounded, rounded));
    }
#endif
    for (; i < in.size(); ++i)
        out[i] = ToSample(in[i]);
}

// soxr's high quality, as one pass over the whole signal would be.
struct DetectorSignal::Soxr {
    explicit Soxr(soxr_t r) : handle(r) {}
    ~Soxr() { soxr_delete(handle); }
    soxr_t handle;
};

DetectorSignal::DetectorSignal(int rate, std::string& error)
{
    if (rate == dtmf::kRate)
        return;
    if (rate == Resampler::kInputRate) {
        fir = std::make_unique<Resampler>();
        return;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t e = nullptr;
    soxr_t handle = soxr_create(rate, dtmf::kRate, 1, &e, &io, &quality, nullptr);
    if (handle)
        resampler = std::make_unique<Soxr>(handle);
    if (e)
        error = std::string("resampling failed: ") + e;
    ratio = static_cast<double>(dtmf::kRate) / rate;
}

DetectorSignal::~DetectorSignal() = default;

std::span<const std::int16_t> DetectorSignal::Convert(std::span<const std::int16_t> in)
{
    if (!fir)
        return in;
    return in.empty() ? fir->Flush() : fir->Process(in);
}

std::span<const std::int16_t> DetectorSignal::Convert(std::span<const float> in, std::string& error)
{
    if (!resampler) {
        if (in.empty() && !fir)
            return {};
        out.resize(in.size());
        ToDetectorSamples(in, out.data());
        return Convert(out);
    }
    out.clear();
    resampled.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * ratio)) + 64);
    const bool flush = in.empty();
    do {
        std::size_t used = 0, made = 0;
        if (soxr_error_t e = soxr_process(resampler->handle, flush ? nullptr : in.data(), in.size(), &used,
                                          resampled.data(), resampled.size(), &made)) {
            error = std::string("resampling failed: ") + e;
            return {};
        }
        const std::size_t had = out.size();
        out.resize(had + made);
        ToDetectorSamples(std::span(resampled).first(made), out.data() + had);
        in = in.subspan(used);
        if (flush && made == 0)
            break;
    } while (flush || !in.empty());
    return out;
}
