// The lower bound the thumbnail benchmark measures vesk against: one process that reads
// a JPEG file, decodes it at 1/8 scale with TurboJPEG (the DCT does the scaling, nothing
// is resampled after it) and writes the result as a quality-100 JPEG, 4:2:0 as vesk's
// encoder writes.
//
//   turbojpeg_eighth IN.jpg OUT.jpg
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int Fail(tjhandle h, const char* what) {
    std::fprintf(stderr, "turbojpeg_eighth: %s: %s\n", what, h ? tjGetErrorStr2(h) : "failed");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: turbojpeg_eighth IN.jpg OUT.jpg\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (!in)
        return Fail(nullptr, argv[1]);
    std::vector<unsigned char> jpeg;
    unsigned char buf[1 << 16];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;)
        jpeg.insert(jpeg.end(), buf, buf + n);
    std::fclose(in);

    tjhandle dec = tjInitDecompress();
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (!dec || tjDecompressHeader3(dec, jpeg.data(), jpeg.size(), &width, &height, &subsamp,
                                    &colorspace) != 0)
        return Fail(dec, "header");
    const tjscalingfactor eighth{1, 8};
    const int w = TJSCALED(width, eighth);
    const int h = TJSCALED(height, eighth);
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    if (tjDecompress2(dec, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) != 0)
        return Fail(dec, "decode");
    tjDestroy(dec);

    tjhandle enc = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    if (!enc ||
        tjCompress2(enc, rgb.data(), w, 0, h, TJPF_RGB, &out, &outSize, TJSAMP_420, 100, 0) != 0)
        return Fail(enc, "encode");
    std::FILE* f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(out, 1, outSize, f) != outSize || std::fclose(f) != 0)
        return Fail(nullptr, argv[2]);
    tjFree(out);
    tjDestroy(enc);
    return 0;
}
