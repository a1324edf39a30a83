// The I/O floor of a conversion: reads the source to its end in 1 MiB blocks and writes the
// target's size of zeros in 1 MiB blocks, which is all a converter must do besides parsing.
//   io_floor SOURCE TARGET TARGET_BYTES
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: io_floor SOURCE TARGET TARGET_BYTES\n", stderr);
        return 1;
    }
    std::FILE* source = std::fopen(argv[1], "rb");
    std::FILE* target = std::fopen(argv[2], "wb");
    if (source == nullptr || target == nullptr) return 1;
    std::setvbuf(source, nullptr, _IONBF, 0);
    std::setvbuf(target, nullptr, _IONBF, 0);
    std::vector<char> block(std::size_t(1) << 20);
    while (std::fread(block.data(), 1, block.size(), source) == block.size()) {
    }
    std::fill(block.begin(), block.end(), 0);
    for (unsigned long long left = std::strtoull(argv[3], nullptr, 10); left != 0;) {
        const std::size_t n = left < block.size() ? static_cast<std::size_t>(left) : block.size();
        if (std::fwrite(block.data(), 1, n, target) != n) return 1;
        left -= n;
    }
    return std::fclose(target) == 0 && std::fclose(source) == 0 ? 0 : 1;
}
