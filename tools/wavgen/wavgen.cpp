// Writes a short two-tone alert as a 16-bit mono PCM wave file:
//   wavgen <out.wav> <first Hz> <second Hz> <milliseconds per tone>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Put32(std::vector<unsigned char>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void Put16(std::vector<unsigned char>& b, std::uint16_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: wavgen out.wav hz1 hz2 ms\n");
        return 2;
    }
    const int rate = 22050;
    const double f1 = std::atof(argv[2]);
    const double f2 = std::atof(argv[3]);
    const int ms = std::atoi(argv[4]);
    const int perTone = rate * ms / 1000;
    std::vector<std::int16_t> samples;
    for (int t = 0; t < 2; ++t) {
        const double f = t == 0 ? f1 : f2;
        for (int i = 0; i < perTone; ++i) {
            // Short fade in and out so the tone does not click.
            const double edge = std::min(1.0, std::min(i, perTone - i) / (rate * 0.005));
            const double v = std::sin(2.0 * M_PI * f * i / rate) * 0.4 * edge;
            samples.push_back(static_cast<std::int16_t>(v * 32767));
        }
    }
    std::vector<unsigned char> b;
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    Put32(b, 36 + dataBytes);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(b, 16);
    Put16(b, 1);
    Put16(b, 1);
    Put32(b, rate);
    Put32(b, rate * 2);
    Put16(b, 2);
    Put16(b, 16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    Put32(b, dataBytes);
    for (std::int16_t s : samples) Put16(b, static_cast<std::uint16_t>(s));
    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(b.data(), 1, b.size(), f) != b.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
