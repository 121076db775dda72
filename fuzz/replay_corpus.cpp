// Runs the inputs of libFuzzer corpora through a fuzz target without libFuzzer, so the target's
// code can be checked where libFuzzer is not at hand (the Windows build, under wine).
// Usage: replay FILE-OR-FOLDER...   prints how many inputs ran; a failed check traps.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Replay(const std::filesystem::path& file, size_t& count) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
}

} // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    LLVMFuzzerTestOneInput(nullptr, 0);
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file())
                    Replay(entry.path(), count);
        } else if (std::filesystem::is_regular_file(path)) {
            Replay(path, count);
        }
    }
    std::printf("%zu inputs replayed\n", count);
    return 0;
}
