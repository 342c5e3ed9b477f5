// Test harness for the upload engine: what a recording WritePort keeps,
// message-only windows standing for the main window and the progress page,
// the engine fed and ticked by hand, and firmware images made on the spot.
#ifndef TESSEL_UPLOAD_HARNESS_H
#define TESSEL_UPLOAD_HARNESS_H

#include "upload/upload.h"
#include <atomic>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

struct Posted { HWND window; WPARAM id; LPARAM value; };

extern Bytes portWritten;   // every byte the code under test handed to WritePort
extern std::vector<DWORD> portWriteCalls;   // the length of each WritePort call
extern bool realPauses;   // PauseReader waits as long as asked (else not at all)

// Each write's attempt, and whether the program was ending, as it wrote
// (the recording WritePort of tests/upload_stubs.cpp).
struct WriteTag { int32_t attempt; int closing; };
extern std::vector<WriteTag> writeTags;
extern std::atomic<int> portOpen;   // what PortIsOpen answers

HWND MakeMessageWindow(void);
std::vector<Posted> TakePosted(void);
void ResetUpload(void);
Bytes ToBytes(const std::string &text);
Bytes Concat(std::initializer_list<Bytes> parts);
// What the box is sent for the block of IMAGE at AT: its bytes, then their sum.
Bytes ExpectedBlock(const Bytes &image, size_t at);
extern const Bytes HANDSHAKE, REPLY, ACK, ACKS;   // as the line carries them
void Feed(HWND window, const Bytes &bytes, size_t chunk = 80);
void Tick(HWND window, int times);

struct ImageSpec {
    uint32_t size;
    long headerOffset;         // 0 or ALT_HEADER_OFFSET; -1 for no header at all
    uint32_t headerAddress;    // words 0 and 1, low halves
    uint32_t word9;
    uint32_t word10;
};
ImageSpec ValidImage(uint32_t size, long headerOffset);
std::string WriteImage(const std::string &name, const ImageSpec &spec, Bytes *contents = nullptr);
// Opens the image at PATH as the file dialog leaves it chosen; OpenFirmwareImage's result.
int ChooseImage(HWND mainWindow, const std::string &path);
// Cuts a file short (or stretches it) behind the stream that has it open.
int ResizeFile(const std::string &path, long long size);

#endif
