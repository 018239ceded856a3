// Runs a fuzz target's inputs once each, without libFuzzer: the seeds and the regression inputs
// of every target run as ordinary tests in every build. Arguments are files or folders of inputs.

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool runFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray bytes = file.readAll();
    // An exact-size copy, so a read past the end is caught by the address sanitizer.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    std::printf("%s (%zu bytes)\n", qPrintable(path), exact.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(arg).isDir()) {
            QDirIterator it(arg, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                ok = runFile(it.next()) && ok;
                ++inputs;
            }
        } else {
            ok = runFile(arg) && ok;
            ++inputs;
        }
    }
    std::printf("%d inputs\n", inputs);
    return ok && inputs > 0 ? 0 : 1;
}
