// The disk image progress window: a copy that reaches the end, the stop question that holds the
// copy, and a source that cannot be read.

#include "ui/create_image_process_wnd.h"

#include <gtest/gtest.h>

#include <QProgressBar>
#include <atomic>
#include <chrono>
#include <thread>

#include "ui/process_wnd_test_helpers.h"

namespace norvale {
namespace {

using namespace std::chrono_literals;
using namespace testing;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + i / 512);
    return bytes;
}

// Reads slowly from memory and counts its reads; the count stands still while the copy is held
// at a progress report.
class PacedSource : public ISectorSource {
  public:
    explicit PacedSource(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override {
        std::this_thread::sleep_for(2ms);
        ++reads;
        return inner_.ReadAt(offset, out, got);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    std::atomic<int> reads{0};

  private:
    MemorySource inner_;
};

class CreateImageProcessWndTest : public ProcessWndTest {
  protected:
    ImageJob Job(ISectorSource& source) {
        ImageJob job;
        job.source = &source;
        job.imagePath = dir_ / "copy.img";
        return job;
    }
};

TEST_F(CreateImageProcessWndTest, CopyReachesTheEndAndTheImageHoldsTheSource) {
    const std::vector<uint8_t> bytes = Pattern(1 << 20);
    MemorySource source(bytes);
    CCreateImageProcessWnd wnd(Job(source), nullptr);
    wnd.SetLanguageTable(*texts_);
    EXPECT_EQ(wnd.Run(), CCreateImageProcessWnd::kDone);
    EXPECT_EQ(ReadFileBytes(dir_ / "copy.img"), bytes);
    EXPECT_EQ(wnd.LastResult().result, kOk);

    EXPECT_EQ(LabelText(&wnd, "stage"),
              Message(*texts_, "MSG0302") + " " + QString::fromStdString(dir_ / "copy.img"));
    EXPECT_EQ(LabelText(&wnd, "percent"), Message(*texts_, "MSG0301") + " 100%");
    EXPECT_EQ(LabelText(&wnd, "sectors"), Message(*texts_, "MSG0303") + " 2048 / 2048");
    // A copy shorter than five seconds never has an estimate.
    EXPECT_EQ(LabelText(&wnd, "time"), Message(*texts_, "MSG0304"));
    EXPECT_EQ(wnd.findChild<QProgressBar*>("progress")->value(), 100);
    EXPECT_EQ(wnd.size(), QSize(450, 250));
}

TEST_F(CreateImageProcessWndTest, StopQuestionHoldsTheCopyAndOkGivesTwo) {
    PacedSource source(Pattern(16 << 20));  // 256 chunks
    CCreateImageProcessWnd wnd(Job(source), nullptr);
    wnd.SetLanguageTable(*texts_);
    int whileHeld = -1;
    QString sectorsBefore, sectorsDuring;
    StopWhen(
        &wnd, [&] { return source.reads >= 5; }, "cancelbtn", "okbtn",
        [&] {
            sectorsBefore = LabelText(&wnd, "sectors");
            whileHeld = MovesWhileWaiting([&] { return source.reads.load(); });
            sectorsDuring = LabelText(&wnd, "sectors");
        });
    EXPECT_EQ(wnd.Run(), CCreateImageProcessWnd::kStopped);
    EXPECT_EQ(whileHeld, 0);
    EXPECT_EQ(sectorsDuring, sectorsBefore);
    EXPECT_EQ(wnd.LastResult().result, kScanCancelled);
    EXPECT_LT(source.reads, 256);
    // The part copied so far stays on disk.
    const auto image = ReadFileBytes(dir_ / "copy.img");
    EXPECT_GE(image.size(), 5u * kImageChunkBytes);
    EXPECT_LT(image.size(), 16u << 20);
}

TEST_F(CreateImageProcessWndTest, AnsweringNoLetsTheCopyFinish) {
    PacedSource source(Pattern(4 << 20));
    CCreateImageProcessWnd wnd(Job(source), nullptr);
    wnd.SetLanguageTable(*texts_);
    StopWhen(
        &wnd, [&] { return source.reads >= 3; }, "closebtn", "cancelbtn");
    EXPECT_EQ(wnd.Run(), CCreateImageProcessWnd::kDone);
    EXPECT_EQ(ReadFileBytes(dir_ / "copy.img").size(), 4u << 20);
}

TEST_F(CreateImageProcessWndTest, UnreadableSourceOrUnwritableImageGivesThree) {
    FaultySource unreadable(std::make_unique<MemorySource>(Pattern(1 << 20)), {300}, kErrReadFault);
    CCreateImageProcessWnd readFails(Job(unreadable), nullptr);
    readFails.SetLanguageTable(*texts_);
    EXPECT_EQ(readFails.Run(), CCreateImageProcessWnd::kFailed);
    EXPECT_EQ(readFails.LastResult().result, kErrReadFault);

    MemorySource fine(Pattern(1 << 16));
    ImageJob job = Job(fine);
    job.imagePath = dir_ / "no-such-folder/copy.img";
    CCreateImageProcessWnd writeFails(job, nullptr);
    writeFails.SetLanguageTable(*texts_);
    EXPECT_EQ(writeFails.Run(), CCreateImageProcessWnd::kFailed);
    EXPECT_EQ(writeFails.LastResult().failedAt, ImageStage::kDestination);
}

}  // namespace
}  // namespace norvale
