// Placeholder until the kit lands: writes nothing but the expected files.
#include <cstdio>
#include <string>
int main(int argc, char** argv) {
    if (argc < 2) return 2;
    for (const char* n : {"tiny-chat.gguf", "scripted-chat.gguf", "tiny-mmproj.gguf"}) {
        std::string p = std::string(argv[1]) + "/" + n;
        if (FILE* f = std::fopen(p.c_str(), "wb")) std::fclose(f);
    }
    return 0;
}
