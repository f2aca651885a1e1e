// The log-tail reader. Input: the log's text, then four bytes at the very end (read from the last one
// back): how many lines to ask for, how many times the text is repeated to make the file, how far every line
// is stretched, and which byte limit to read with. Copies and long lines take the file past the reader's
// first 64 KiB window. The file is written afresh for every run.
#include "FuzzSupport.h"
#include "Quillora/Services/AppInfo.h"

#include <QTemporaryFile>
#include <algorithm>
#include <fuzzer/FuzzedDataProvider.h>

using FuzzSupport::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryFile scratch; // one file per fuzzing process, removed at exit
    require(scratch.isOpen() || scratch.open(), "the scratch file can be opened");
    FuzzedDataProvider provider(data, size);
    const int count = provider.ConsumeIntegralInRange<int>(-1, 40);
    const uint8_t repeat = provider.ConsumeIntegral<uint8_t>();
    const uint8_t stretch = provider.ConsumeIntegral<uint8_t>();
    const uint8_t limitChoice = provider.ConsumeIntegral<uint8_t>();
    const std::vector<uint8_t> text = provider.ConsumeRemainingBytes<uint8_t>();

    // Mostly small files; now and then up to 128 copies, or lines up to 8 KiB longer, within 256 KiB (the
    // reader's first window is 64 KiB, and it widens fourfold).
    constexpr qsizetype maxFile = 256 * 1024;
    QByteArray content = FuzzSupport::bytes(text.data(), text.size());
    const qsizetype lineFeeds = content.count('\n');
    if (stretch >= 248 && lineFeeds > 0) {
        const qsizetype filler = std::min(qsizetype{64} << (stretch - 248), maxFile / lineFeeds);
        content.replace('\n', QByteArray(filler, 'x') + '\n');
    }
    if (repeat >= 240 && !content.isEmpty()) {
        const qsizetype copies = qsizetype{1} << ((repeat - 240) / 2);
        content = content.repeated(std::min(copies, maxFile / content.size() + 1)).left(maxFile);
    }
    // A limit around the file's size, a small one, a fraction of the size, or the default.
    qint64 maxBytes = 4 * 1024 * 1024;
    if (limitChoice < 128) {
        maxBytes = content.size() - 64 + limitChoice;
    } else if (limitChoice < 192) {
        maxBytes = limitChoice - 129;
    } else if (limitChoice < 250) {
        maxBytes = content.size() * (limitChoice - 191) / 59;
    }

    require(scratch.resize(0) && scratch.seek(0) && scratch.write(content) == content.size() &&
                scratch.flush(),
            "the scratch file can be written");
    const QStringList lines = AppInfo::lastLines(scratch.fileName(), count, maxBytes);
    require(lines.size() <= std::max(count, 0), "at most `count` lines");
    for (const QString& line : lines) {
        require(!line.isEmpty() && !line.contains(QLatin1Char('\n')),
                "lines are non-empty, without a line feed");
    }
    return 0;
}
