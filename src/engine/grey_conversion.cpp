#include "engine/grey_conversion.hpp"

#include <stdexcept>

#include <opencv2/core/hal/intrin.hpp>

namespace molvane {

namespace {

// Y = (3735 B + 19235 G + 9798 R + 2^14) >> 15: the weights 0.114, 0.587, 0.299 in 15 bits.
constexpr unsigned kBlueWeight = 3735;
constexpr unsigned kGreenWeight = 19235;
constexpr unsigned kRedWeight = 9798;
constexpr int kShift = 15;
constexpr unsigned kHalf = 1u << (kShift - 1);

inline unsigned char greyPixel(const unsigned char* p) {
    return static_cast<unsigned char>((p[0] * kBlueWeight + p[1] * kGreenWeight + p[2] * kRedWeight + kHalf) >> kShift);
}

#if CV_SIMD128
// Four pixels' weighted sums from one quarter of three 16-lane channel vectors.
inline cv::v_uint32x4 weighted(const cv::v_uint32x4& b, const cv::v_uint32x4& g, const cv::v_uint32x4& r) {
    const cv::v_uint32x4 sum = b * cv::v_setall_u32(kBlueWeight) + g * cv::v_setall_u32(kGreenWeight) +
                               r * cv::v_setall_u32(kRedWeight) + cv::v_setall_u32(kHalf);
    return sum >> kShift;
}

inline cv::v_uint16x8 weightedHalf(const cv::v_uint16x8& b, const cv::v_uint16x8& g, const cv::v_uint16x8& r) {
    cv::v_uint32x4 b0, b1, g0, g1, r0, r1;
    cv::v_expand(b, b0, b1);
    cv::v_expand(g, g0, g1);
    cv::v_expand(r, r0, r1);
    return cv::v_pack(weighted(b0, g0, r0), weighted(b1, g1, r1));
}

inline void storeGrey(unsigned char* out, const cv::v_uint8x16& b, const cv::v_uint8x16& g, const cv::v_uint8x16& r) {
    cv::v_uint16x8 b0, b1, g0, g1, r0, r1;
    cv::v_expand(b, b0, b1);
    cv::v_expand(g, g0, g1);
    cv::v_expand(r, r0, r1);
    cv::v_store(out, cv::v_pack(weightedHalf(b0, g0, r0), weightedHalf(b1, g1, r1)));
}
#endif

template <int Channels>
void convertRow(const unsigned char* in, unsigned char* out, int width) {
    int x = 0;
#if CV_SIMD128
    for (; x + 16 <= width; x += 16) {
        cv::v_uint8x16 b, g, r, a;
        if constexpr (Channels == 3) {
            cv::v_load_deinterleave(in + Channels * x, b, g, r);
        } else {
            cv::v_load_deinterleave(in + Channels * x, b, g, r, a);
        }
        storeGrey(out + x, b, g, r);
    }
#endif
    for (; x < width; ++x) out[x] = greyPixel(in + Channels * x);
}

}  // namespace

void bgrToGrey(const cv::Mat& bgr, cv::Mat& grey) {
    if (bgr.empty() || bgr.depth() != CV_8U || (bgr.channels() != 3 && bgr.channels() != 4)) {
        throw std::invalid_argument("grey conversion needs a non-empty 8-bit frame of 3 or 4 channels");
    }
    if (grey.type() != CV_8UC1 || grey.size() != bgr.size()) {
        throw std::invalid_argument("grey conversion needs an 8-bit one-channel output of the frame's size");
    }
    for (int y = 0; y < bgr.rows; ++y) {
        if (bgr.channels() == 3) {
            convertRow<3>(bgr.ptr<unsigned char>(y), grey.ptr<unsigned char>(y), bgr.cols);
        } else {
            convertRow<4>(bgr.ptr<unsigned char>(y), grey.ptr<unsigned char>(y), bgr.cols);
        }
    }
}

}  // namespace molvane
