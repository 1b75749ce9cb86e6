// Feeds arbitrary bytes to the command reader, split into reads in arbitrary ways, and checks what
// must hold for any input: every byte comes out exactly once and in order, a named packet is the
// very packet the table builds for its name and value, and the split does not matter.
//
// Input: byte 0 seeds the split sizes, the remaining bytes are what the module receives.

#include "control/commandreader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "command reader invariant broken: %s\n", what);
        std::abort();
    }
}

// Reads the bytes in pieces of 1 to 9 bytes chosen by the seed, or in one piece.
QList<ReceivedCommand> readAll(const QByteArray &bytes, std::optional<unsigned> seed)
{
    CommandReader reader;
    QList<ReceivedCommand> out;
    int at = 0;
    while (at < bytes.size()) {
        int size = int(bytes.size()) - at;
        if (seed) {
            *seed = *seed * 1103515245u + 12345u;
            size = 1 + int((*seed >> 16) % 9);
        }
        out += reader.feed(bytes.mid(at, size));
        at += size;
    }
    out += reader.finish();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1, int(size - 1));

    const QList<ReceivedCommand> split = readAll(stream, unsigned(data[0]));
    QByteArray echoed;
    QStringList texts;
    for (const ReceivedCommand &command : split) {
        check(!command.bytes.isEmpty(), "nothing is reported without bytes");
        echoed += command.bytes;
        texts.append(command.text());
        if (!command.isUnknown())
            check(buildPacket(command.entry->command, command.value) == command.bytes,
                  "a named packet is the one its name builds");
    }
    check(echoed == stream, "every byte comes out once, in order");

    QStringList whole;
    for (const ReceivedCommand &command : readAll(stream, std::nullopt))
        whole.append(command.text());
    check(whole == texts, "the split does not matter");
    return 0;
}
