// The engine against boot monitors that misbehave at random: each session is
// a valid exchange (banner, prompt, typed commands, handshake, go-ahead, two
// acknowledgements a block) with bytes dropped, doubled, corrupted or
// inserted, handshakes repeated, acknowledgements late or missing, ticks at
// random points, and now and then Abort or the port closing. It is fed
// through ProcessReceived and UploadTimerTick as the two threads would, one
// step at a time, and after every step the bytes written and the commands
// posted are checked against what the protocol allows; at its end, every
// attempt the box shook hands in must have had its outcome. A failing session
// prints its seed; TESSEL_PROPERTY_SEED and TESSEL_PROPERTY_SESSIONS replay
// or lengthen a run.
#include "tests/upload_harness.h"
#include "app/app.h"
#include "app/ids.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum StepKind { STEP_BYTES, STEP_TICKS, STEP_SEQUENCE, STEP_ABORT, STEP_PORT_CLOSED };
struct Step { StepKind kind; Bytes bytes; int ticks; };

struct Random {
    uint64_t state;
    uint32_t next() { state = state * 6364136223846793005ull + 1442695040888963407ull; return uint32_t(state >> 33); }
    int below(int n) { return int(next() % uint32_t(n)); }
    bool chance(int percent) { return below(100) < percent; }
};

// A valid session for an image of `blocks` blocks, as a monitor and the
// wizard would play it; the box may ask first, without a prompt.
std::vector<Step> validSession(Random &random, int blocks)
{
    std::vector<Step> steps;
    auto bytes = [&](const Bytes &b) { steps.push_back({ STEP_BYTES, b, 0 }); };
    auto ticks = [&](int n) { steps.push_back({ STEP_TICKS, {}, n }); };
    bytes(ToBytes(BOOT_BANNER "\r\n"));
    if (!random.chance(20)) {   // the usual road: a prompt, the selection, the typed commands
        bytes(ToBytes(random.chance(50) ? "<mon> " : "HanSh> "));
        steps.push_back({ STEP_SEQUENCE, {}, 0 });
        ticks(22);
    }
    bytes(HANDSHAKE);
    ticks(random.below(3));
    bytes({ 0xFA });
    for (int b = 0; b < blocks; b++) {
        ticks(random.below(3));
        bytes({ 0xFA });
        ticks(random.below(2));
        bytes({ 0xFA });
    }
    return steps;
}

uint8_t strayByte(Random &random)
{
    static const uint8_t likely[] = { 0xFA, 0xFA, 0xF0, 0xFE, 0xAA, 0x55, 0x11, 0x22, '>', '\r' };
    return random.chance(70) ? likely[random.below(sizeof likely)] : uint8_t(random.next());
}

// Mutates a valid session: every step may be dropped, doubled or changed,
// and anything may come between two steps.
std::vector<Step> mutate(Random &random, const std::vector<Step> &valid, int rate)
{
    std::vector<Step> out;
    for (const Step &step : valid) {
        if (random.chance(rate)) {
            switch (random.below(8)) {
            case 0: continue;                                   // dropped
            case 1: out.push_back(step); break;                 // doubled
            case 2: out.push_back({ STEP_TICKS, {}, 1 + random.below(45) }); break;   // late: watchdogs run out
            case 3: out.push_back({ STEP_BYTES, { strayByte(random) }, 0 }); break;
            case 4: out.push_back({ STEP_BYTES, HANDSHAKE, 0 }); out.push_back({ STEP_BYTES, { 0xFA }, 0 }); break;
            case 5: out.push_back({ random.chance(50) ? STEP_ABORT : STEP_PORT_CLOSED, {}, 0 }); break;
            case 6: out.push_back({ STEP_BYTES, ToBytes(BOOT_BANNER), 0 }); break;
            case 7:
                if (step.kind == STEP_BYTES && !step.bytes.empty()) {   // corrupted
                    Step changed = step;
                    changed.bytes[random.below(int(changed.bytes.size()))] = strayByte(random);
                    out.push_back(changed);
                    continue;
                }
                break;
            }
        }
        out.push_back(step);
    }
    return out;
}

// What the checker knows of the running attempt, from the outside only.
// Bytes are fed one at a time, so each write is checked against the byte
// that caused it.
struct Checker {
    const Bytes *image;
    int blocks = 0;
    bool reported = false, ended = false, replied = false, completed = false;
    int reports = 0, percent = 0, nextBlock = -1;   // -1: no length since the last reply
    size_t fedAcks = 0;   // acknowledgements fed since the last block went out
    Bytes last4;          // the last four bytes fed
    std::string fault;

    void fail(const std::string &what) { if (fault.empty()) fault = what; }

    bool isBlock(const uint8_t *p, DWORD n, int index) const
    {
        Bytes block = index < blocks ? ExpectedBlock(*image, size_t(index) * BLOCK_SIZE) : Bytes();
        return !block.empty() && n == block.size() && memcmp(p, block.data(), n) == 0;
    }

    void fedByte(uint8_t b)
    {
        last4.push_back(b);
        if (last4.size() > 4)
            last4.erase(last4.begin());
        fedAcks += b == 0xFA;
    }

    // The engine's writes for the byte just fed: each call must be one the
    // protocol allows after it.
    void checkWrites(const Bytes &written, std::vector<DWORD> calls)
    {
        std::vector<DWORD> banner = { 1 }, reply = { 1, 1 };
        if (!calls.empty() && ended)
            return fail("wrote after Abort or with the port closing");
        if (calls == banner && written[0] == 's')
            return;   // the banner's answer: no part of an attempt (a failure page asks for it)
        if (!calls.empty() && reported)
            return fail("wrote after a failure was reported");
        uint8_t b = last4.back();
        if (calls == reply && written == Bytes({ 0xFA, 0xAA })) {
            if (last4 != HANDSHAKE)
                return fail("a reply without a handshake");
            replied = true;
            nextBlock = -1;   // a new transfer: from the first block, counted from one
            percent = 0;
            return;
        }
        const uint8_t *p = written.data();
        if (calls.size() == 5 && calls[0] == 1 && calls[1] == 1 && calls[2] == 1 && calls[3] == 1) {
            uint32_t size = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
            if (!replied || nextBlock >= 0 || b != 0xFA)
                return fail("a length without a go-ahead after a reply");
            if (size != image->size())
                return fail("a length that is not the image's");
            nextBlock = 0;
            fedAcks = 2;   // the go-ahead stands for the acknowledgements before block 0
            p += 4;
            calls.erase(calls.begin(), calls.begin() + 4);
        }
        if (calls.size() == 1 && calls[0] > 4 && nextBlock >= 0) {
            if (!isBlock(p, calls[0], nextBlock))
                return fail("block " + std::to_string(nextBlock) + " wrong, out of order or with a wrong sum");
            if (fedAcks < 2 || b != 0xFA)
                return fail("block " + std::to_string(nextBlock) + " before two acknowledgements");
            nextBlock++;
            fedAcks = 0;
            return;
        }
        if (!calls.empty())
            fail("a write the protocol does not allow here (" + std::to_string(calls.size()) + " calls)");
    }

    void checkPosts(const std::vector<Posted> &posts)
    {
        for (const Posted &p : posts) {
            if (p.id == CMD_FAIL_RETRY || p.id == CMD_NO_RESPONSE) {
                if (++reports > 1)
                    return fail("two failure reports in one attempt");
                if (completed)
                    return fail("a failure reported after the completion");
                if (p.id == CMD_NO_RESPONSE && replied)
                    return fail("no-response reported after the box shook hands");
                reported = true;
            } else if (p.id == IDC_PERCENT) {
                if (int(p.value) != percent + 1 || int(p.value) > nextBlock)
                    return fail("a percent report out of step with the blocks sent");
                percent = int(p.value);
                if (percent == blocks) {
                    if (fedAcks < 2)
                        return fail("completed before the last block's second acknowledgement");
                    completed = true;
                }
            }
        }
    }
};

// Runs one session; "" when every step kept the rules, else what broke.
std::string runSession(HWND window, HWND page, uint64_t seed, const std::vector<Bytes> &images, const std::vector<std::string> &paths)
{
    Random random{ seed };
    int which = random.below(int(images.size()));
    // The image a session left open serves the next one that wants it: the
    // engine seeks to its start at every go-ahead.
    static int openImage = -1;
    FILE *kept = which == openImage ? upload.imageFile.exchange(nullptr) : nullptr;
    int32_t keptSize = upload.imageFileSize;
    ResetUpload();
    upload.progressDialog = page;
    if (kept) {
        upload.imageFile = kept;
        upload.imageFileSize = keptSize;
    } else {
        if (ChooseImage(window, paths[which]) != 0)
            return "the test image was refused";
        openImage = which;
    }
    Checker check;
    check.image = &images[which];
    check.blocks = int((images[which].size() + BLOCK_SIZE - 1) / BLOCK_SIZE);
    // the connect page: the prompt watch runs and the banner is to be answered
    upload.promptWatch = TICKS_PROMPT;
    upload.bannerAnswered = 0;
    std::vector<Step> steps = mutate(random, validSession(random, check.blocks), random.below(12));
    for (const Step &step : steps) {
        // Looking at the queue costs a round trip to the window server: it is
        // looked at after a step that moved the state (every report does) or
        // wrote (every percent comes with a block or the completion's move),
        // and once more at the end, so no post goes unchecked.
        int32_t stateBefore = upload.uploadState;
        bool wrote = false;
        portWritten.clear();
        portWriteCalls.clear();
        switch (step.kind) {
        case STEP_BYTES:
            for (uint8_t b : step.bytes) {
                check.fedByte(b);
                ProcessReceived(window, &b, 1);
                check.checkWrites(portWritten, portWriteCalls);
                wrote = wrote || !portWriteCalls.empty();
                portWritten.clear();
                portWriteCalls.clear();
            }
            break;
        case STEP_TICKS:
            Tick(window, step.ticks);   // the tick writes only what the sender types
            break;
        case STEP_SEQUENCE:
            StartCommandSequence();
            break;
        case STEP_ABORT:
            closeRequested = 1;
            check.ended = true;
            break;
        case STEP_PORT_CLOSED:
            portOpen = 0;
            check.ended = true;
            break;
        }
        if (wrote || upload.uploadState != stateBefore)
            check.checkPosts(TakePosted());
        if (!check.fault.empty() || check.completed)
            break;   // a completed transfer leaves no image open: the next go-ahead would ask the user
    }
    check.checkPosts(TakePosted());
    // An attempt the box shook hands in ends with an outcome: completed,
    // reported, or ended by Abort or the port, however the box went on.
    if (check.fault.empty() && !check.completed && !check.ended) {
        Tick(window, TICKS_START + 1);
        check.checkPosts(TakePosted());
        if (check.replied && !check.reported)
            check.fail("the box shook hands and the attempt ended without an outcome");
    }
    return check.fault;
}

uint64_t fromEnvironment(const char *name, uint64_t fallback)
{
    const char *text = getenv(name);
    return text && *text ? strtoull(text, nullptr, 0) : fallback;
}

}  // namespace

TEST(EngineProperty, MutatedSessionsNeverBreakTheProtocol)
{
    HWND window = MakeMessageWindow(), page = MakeMessageWindow();
    ASSERT_TRUE(window && page);
    std::vector<Bytes> images(4);
    std::vector<std::string> paths;
    const uint32_t sizes[] = { 200, 1024, 2100, 3073 };
    for (int i = 0; i < 4; i++)
        paths.push_back(WriteImage("property" + std::to_string(i) + ".bin", ValidImage(sizes[i], 0), &images[i]));
    uint64_t base = fromEnvironment("TESSEL_PROPERTY_SEED", 20261209);
    uint64_t sessions = fromEnvironment("TESSEL_PROPERTY_SESSIONS", 100000);
    realPauses = false;
    uint64_t failed = 0, completed = 0, reported = 0;
    for (uint64_t i = 0; i < sessions && failed < 5; i++) {
        std::string fault = runSession(window, page, base + i, images, paths);
        if (!fault.empty()) {
            failed++;
            ADD_FAILURE() << "seed " << base + i << ": " << fault;
        }
        completed += upload.imageFile == nullptr;
        reported += upload.uploadState == UPLOAD_ENDED;
    }
    realPauses = true;
    ResetUpload();
    DestroyWindow(window);
    DestroyWindow(page);
    printf("[ property ] %llu sessions from seed %llu: %llu completed, %llu ended by a failure report\n",
           (unsigned long long)sessions, (unsigned long long)base, (unsigned long long)completed,
           (unsigned long long)reported);
    EXPECT_GT(completed, sessions / 20) << "too few sessions got through: the mutations swamp the exchange";
    EXPECT_GT(reported, sessions / 20) << "too few failures: the watchdogs were hardly tried";
}
