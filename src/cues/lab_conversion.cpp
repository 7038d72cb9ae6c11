#include "cues/lab_conversion.hpp"

#include <opencv2/core/softfloat.hpp>

namespace molvane {

namespace {

// Fixed-point layout of OpenCV's 8-bit conversion: linear light with 3 extra bits, the
// XYZ mix with 12 fractional bits, the cube root with 15.
constexpr int kGammaShift = 3;
constexpr int kLabShift = 12;
constexpr int kLabShift2 = kLabShift + kGammaShift;
constexpr int kCbrtTableSize = 256 * 3 / 2 * (1 << kGammaShift);

constexpr int descale(int x, int n) { return (x + (1 << (n - 1))) >> n; }

// The two tables and the fixed-point matrix, computed as OpenCV computes them (in its
// software floating point, so that every entry is the same on every machine).
struct LabTables {
    unsigned short gamma[256];            // sRGB value -> linear light << kGammaShift
    unsigned short cbrt[kCbrtTableSize];  // linear light -> Lab's f(t) << kLabShift2
    int coeffs[9];                        // rows X, Y, Z over columns B, G, R, white-balanced

    LabTables() {
        using cv::softdouble;
        using cv::softfloat;
        const softdouble gammaThreshold = softdouble(809) / softdouble(20000);
        const softdouble gammaLowScale = softdouble(323) / softdouble(25);
        const softdouble gammaPower = softdouble(12) / softdouble(5);
        const softdouble gammaXshift = softdouble(11) / softdouble(200);
        const softfloat f255(255);
        const softfloat intScale(255 * (1 << kGammaShift));
        for (int i = 0; i < 256; ++i) {
            const softdouble x = softdouble(softfloat(i) / f255);
            const softfloat linear =
                x <= gammaThreshold
                    ? softfloat(x / gammaLowScale)
                    : softfloat(cv::pow((x + gammaXshift) / (softdouble::one() + gammaXshift), gammaPower));
            gamma[i] = static_cast<unsigned short>(cvRound(intScale * linear));
        }
        const softfloat lthresh = softfloat(216) / softfloat(24389);
        const softfloat lscale = softfloat(841) / softfloat(108);
        const softfloat lbias = softfloat(16) / softfloat(116);
        const softfloat cbTabScale = softfloat::one() / (f255 * softfloat(1 << kGammaShift));
        const softfloat lshift2(1 << kLabShift2);
        for (int i = 0; i < kCbrtTableSize; ++i) {
            const softfloat x = cbTabScale * softfloat(i);
            cbrt[i] = static_cast<unsigned short>(
                cvRound(lshift2 * (x < lthresh ? cv::mulAdd(x, lscale, lbias) : cv::cbrt(x))));
        }
        // sRGB to XYZ (D65) and the D65 white point.
        const double m[9] = {0.412453, 0.357580, 0.180423, 0.212671, 0.715160, 0.072169, 0.019334, 0.119193, 0.950227};
        const double white[3] = {0.950456, 1.0, 1.088754};
        const softdouble lshift(1 << kLabShift);
        for (int i = 0; i < 3; ++i) {
            const softdouble w(white[i]);
            coeffs[i * 3 + 2] = cvRound(lshift * softdouble(m[i * 3 + 0]) / w);  // red
            coeffs[i * 3 + 1] = cvRound(lshift * softdouble(m[i * 3 + 1]) / w);  // green
            coeffs[i * 3 + 0] = cvRound(lshift * softdouble(m[i * 3 + 2]) / w);  // blue
        }
    }
};

const LabTables& labTables() {
    static const LabTables tables;
    return tables;
}

}  // namespace

void bgrToLab(const cv::Mat& bgr, cv::Mat& lab) {
    CV_Assert(bgr.depth() == CV_8U && (bgr.channels() == 3 || bgr.channels() == 4));
    const LabTables& t = labTables();
    const int cn = bgr.channels();
    constexpr int lScale = (116 * 255 + 50) / 100;
    constexpr int lShift = -((16 * 255 * (1 << kLabShift2) + 50) / 100);
    const int* c = t.coeffs;
    lab.create(bgr.size(), CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y) {
        const unsigned char* s = bgr.ptr<unsigned char>(y);
        unsigned char* d = lab.ptr<unsigned char>(y);
        for (int x = 0; x < bgr.cols; ++x, s += cn, d += 3) {
            const int B = t.gamma[s[0]], G = t.gamma[s[1]], R = t.gamma[s[2]];
            const int fX = t.cbrt[descale(B * c[0] + G * c[1] + R * c[2], kLabShift)];
            const int fY = t.cbrt[descale(B * c[3] + G * c[4] + R * c[5], kLabShift)];
            const int fZ = t.cbrt[descale(B * c[6] + G * c[7] + R * c[8], kLabShift)];
            d[0] = cv::saturate_cast<unsigned char>(descale(lScale * fY + lShift, kLabShift2));
            d[1] = cv::saturate_cast<unsigned char>(descale(500 * (fX - fY) + 128 * (1 << kLabShift2), kLabShift2));
            d[2] = cv::saturate_cast<unsigned char>(descale(200 * (fY - fZ) + 128 * (1 << kLabShift2), kLabShift2));
        }
    }
}

}  // namespace molvane
