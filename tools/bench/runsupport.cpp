// The fault table, seeded random numbers, per-run images and the box's
// verdict for the robustness runs.
#include "tools/bench/runsupport.h"
#include "tests/upload_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const FaultRow FAULTS[FAULT_COUNT] = {
    { "none", "", nullptr, 1, "" },
    { "lost-ack", "--drop-ack %d", "event=drop-ack", 0, "block %d" },
    { "no-acks", "--drop-all-acks %d", "event=drop-all-acks", 0, "block %d" },
    { "reject-F0", "--reject %d --reject-byte F0", "event=reject", 0, "block %d" },
    { "reject-FE", "--reject %d --reject-byte FE", "event=reject", 0, "block %d" },
    { "stray-bytes", "--stray %d", nullptr, 1, "block %d" },
    // rides it out only when the ack beat its watchdog
    { "late-ack", "--late-ack %d %d", nullptr, 0, "block %d +%d ms" },
    // the box waits for the length while the user takes his time: no false
    // alarm meanwhile, the upload completes
    { "no-image-handshake", "--handshake-first --rx-timeout 60000", nullptr, 1, "" },
    { "quick-retry", "", nullptr, 1, "" },
    { "rehandshake", "--drop-all-acks %d --rehandshake-after %d", "event=drop-all-acks", 0, "block %d, again +%d ms" },
    { "chatter", "--chatter %d", nullptr, 1, "%d bytes a block" },
    // a box that waits for its answer as long as it takes (the reboot's keys too)
    { "late-handshake", "--late-handshake %d --handshake-wait 30000", nullptr, 1, "+%d ms" },
    { "box-killed", "", nullptr, 0, "" },
    { "pty-removed", "", nullptr, 0, "" },
};

static uint32_t randomState = 1;

void SeedRandom(uint32_t seed)
{
    randomState = seed;
}

uint32_t RandomBelow(uint32_t n)
{
    randomState = randomState * 1103515245u + 12345u;
    return n ? (randomState >> 8) % n : 0;
}

// Neighbouring runs of one seed get unrelated numbers.
uint32_t MixSeed(uint32_t seed, uint32_t run)
{
    uint32_t h = seed * 0x9E3779B1u ^ (run + 0x7F4A7C15u);
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

int RandomBetween(int low, int high)
{
    return low + int(RandomBelow(uint32_t(high - low + 1)));
}

std::string WriteRunImage(const std::string &name, uint32_t size, uint32_t salt, Bytes *contents)
{
    ImageSpec spec = ValidImage(size, 0);
    spec.word9 = size;
    Bytes image;
    std::string path = WriteImage(name, spec, &image);
    uint32_t mix = salt * 2654435761u + 0x9E3779B9u;
    for (size_t i = HEADER_SIZE; i < image.size(); i++) {
        mix = mix * 1664525u + 1013904223u;
        image[i] ^= uint8_t(mix >> 24);
    }
    FILE *file = fopen(path.c_str(), "wb");
    if (!file || fwrite(image.data(), 1, image.size(), file) != image.size()) {
        fprintf(stderr, "cannot write the image %s\n", path.c_str());
        path.clear();
    }
    if (file)
        fclose(file);
    if (contents)
        *contents = image;
    return path;
}

int ReceivedEquals(const Bytes &image)
{
    return ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image;
}

std::string DescribeReceived(const Bytes &image)
{
    Bytes got = ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin"));
    size_t at = 0;
    while (at < got.size() && at < image.size() && got[at] == image[at])
        at++;
    char text[128];
    snprintf(text, sizeof text, "received %u bytes, expected %u, first difference at byte %u", unsigned(got.size()),
             unsigned(image.size()), unsigned(at));
    return text;
}

std::string VerdictOf(const std::string &boxLog)
{
    size_t at = boxLog.rfind("verdict=");
    if (at == std::string::npos)
        return "none";
    size_t end = boxLog.find_first_of(" \r\n", at);
    return boxLog.substr(at + 8, end - at - 8);
}

std::string FaultText(const char *format, int number, int ms)
{
    char text[96];
    snprintf(text, sizeof text, format, number, ms);
    return text;
}

std::vector<int> ParseFaults(const char *names, int count)
{
    std::vector<int> list;
    std::string rest = strcmp(names, "each") == 0 ? "" : names;
    for (int f = 0; rest.empty() && f < count; f++)
        list.push_back(f);
    while (!rest.empty()) {
        std::string name = rest.substr(0, rest.find(','));
        rest = rest.size() > name.size() ? rest.substr(name.size() + 1) : "";
        int found = -1;
        for (int f = 0; f < count; f++)
            if (name == FAULTS[f].name)
                found = f;
        if (found < 0)
            return {};
        list.push_back(found);
    }
    return list;
}
