// Turns the XPM pictures into the resource files of the Windows build:
//   xpm2win ico OUT.ico ICON32.xpm [ICON16.xpm]
//   xpm2win bmp OUT.bmp PICTURE.xpm
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "xpm.h"

namespace {

bool Load(const char* path, kvimg::Picture* p) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "xpm2win: cannot read %s\n", path);
        return false;
    }
    if (!kvimg::ParseXpmText(text, p, &error)) {
        std::fprintf(stderr, "xpm2win: %s: %s\n", path, error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "use: xpm2win ico OUT.ico A.xpm [B.xpm]... | xpm2win bmp OUT.bmp A.xpm\n");
        return 2;
    }
    const std::string kind = argv[1];
    std::vector<kvimg::Picture> pictures;
    for (int i = 3; i < argc; ++i) {
        kvimg::Picture p;
        if (!Load(argv[i], &p)) return 1;
        pictures.push_back(std::move(p));
    }
    std::vector<uint8_t> bytes;
    std::string error;
    bool ok = false;
    if (kind == "ico") {
        ok = kvimg::WriteIco(pictures, &bytes, &error);
    } else if (kind == "bmp" && pictures.size() == 1) {
        ok = kvimg::WriteBmp(pictures[0], &bytes, &error);
    } else {
        error = "unknown output kind " + kind;
    }
    if (!ok) {
        std::fprintf(stderr, "xpm2win: %s\n", error.c_str());
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "xpm2win: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
