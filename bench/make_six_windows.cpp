// make-six-windows EXPORTED.dcm OUT.dcm: the object `trevik-dicom export`
// wrote, rewritten as a camera's TOMO object of six energy windows (the
// import tests' own rewriting, tests/app/dicom/six_windows.h), for
// bench/run-dicom-import. Exit 0 when written, 1 otherwise.
#include <cstdio>

#include "dicom/dictionary.h"
#include "tests/app/dicom/six_windows.h"

int main(int argc, char** argv) {
    trevik::dicom::useCompiledDictionary();
    if (argc != 3) {
        std::fputs("usage: make-six-windows EXPORTED.dcm OUT.dcm\n", stderr);
        return 1;
    }
    if (trevik::test::saveSixWindows(argv[1], argv[2])) return 0;
    std::fprintf(stderr, "make-six-windows: cannot rewrite %s into %s\n", argv[1], argv[2]);
    return 1;
}
