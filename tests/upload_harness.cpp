// Recorded writes, posted-message capture and test images.
#include "tests/upload_harness.h"
#include "app/app.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <numeric>

Bytes portWritten;
std::vector<DWORD> portWriteCalls;
bool realPauses = true;
std::atomic<int> portOpen{ 1 };

HWND MakeMessageWindow(void)
{
    return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Every WM_COMMAND posted to this thread's windows, in the order posted.
std::vector<Posted> TakePosted(void)
{
    std::vector<Posted> posted;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_COMMAND)
            posted.push_back({ msg.hwnd, msg.wParam, msg.lParam });
    }
    return posted;
}

void ResetUpload(void)
{
    CloseFirmwareImage();
    new (&upload) UploadContext();   // every field as at start: zero, and a banner not to be answered
    closeRequested = 0;
    portOpen = 1;
    portWritten.clear();
    portWriteCalls.clear();
    TakePosted();
}

const Bytes HANDSHAKE(PROTOCOL_HANDSHAKE, PROTOCOL_HANDSHAKE + 4), REPLY = { PROTOCOL_ACK, PROTOCOL_REPLY },
            ACK = { PROTOCOL_ACK }, ACKS = { PROTOCOL_ACK, PROTOCOL_ACK };

Bytes ToBytes(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes ExpectedBlock(const Bytes &image, size_t at)
{
    Bytes block(image.begin() + at, image.begin() + std::min(at + BLOCK_SIZE, image.size()));
    uint32_t sum = std::accumulate(block.begin(), block.end(), 0u);
    return Concat({ block, { uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum) } });
}

void Feed(HWND window, const Bytes &bytes, size_t chunk)
{
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
        ProcessReceived(window, bytes.data() + at, DWORD(n));
    }
}

void Tick(HWND window, int times)
{
    for (int i = 0; i < times; i++)
        UploadTimerTick(window);
}

ImageSpec ValidImage(uint32_t size, long headerOffset)
{
    return { size, headerOffset, 0xBFC00000u + 128 + 0x1000, 0x100000, 0xBFC01000u };
}

static void putWord(Bytes &image, size_t at, uint32_t value)
{
    const uint8_t word[4] = { uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value) };
    std::copy(word, word + 4, image.begin() + at);
}

int ChooseImage(HWND mainWindow, const std::string &path)
{
    strncpy(imagePath, path.c_str(), sizeof imagePath - 1);
    return OpenFirmwareImage(mainWindow);
}

int ResizeFile(const std::string &path, long long size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    int done = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return done;
}

std::string WriteImage(const std::string &name, const ImageSpec &spec, Bytes *contents)
{
    Bytes image(spec.size);
    uint32_t seed = 0x2545F491u ^ spec.size;
    for (auto &b : image) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    if (spec.headerOffset >= 0 && image.size() >= size_t(spec.headerOffset) + 44) {
        size_t at = size_t(spec.headerOffset);
        putWord(image, at, 0x12340000u | (spec.headerAddress >> 16));
        putWord(image, at + 4, 0x56780000u | (spec.headerAddress & 0xFFFF));
        putWord(image, at + 36, spec.word9);
        putWord(image, at + 40, spec.word10);
    }
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::string path = std::string(folder) + "tessel-test-" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), image.size());
    if (contents)
        *contents = image;
    return path;
}
