#pragma once
// The preview progress window: extracts one found file through its engine's ExtractForPreview
// on a worker thread while it is shown modally, then, still on that thread, turns what was
// extracted into what the preview pane shows (PreparePreviewContent). It shows the file name
// the percent done and the time left once it is known, and asks before it stops. The engine must
// stay alive and unused by any other worker until Run() returned.

#include <QDialog>
#include <atomic>
#include <memory>
#include <string>

#include "app/language_table.h"
#include "app/preview_convert.h"
#include "device/result.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "ui/process_window.h"

class QLabel;
class QProgressBar;

namespace norvale {

class ProcessWorker;

class CPreviewProcessWnd : public QDialog {
    Q_OBJECT
  public:
    enum Outcome : int { kDone = 1, kStopped = 2 };
    static constexpr int kWidth = 450;
    static constexpr int kHeight = 250;

    // `engine` may be null (the item's source has no engine): nothing is extracted.
    // `previousTempPath` is the copy the last preview left; it is deleted before extracting.
    CPreviewProcessWnd(const RecoveredItem& item, IFileRecoveryParse* engine,
                       std::string previousTempPath, QWidget* owner,
                       LanguageTable& table = LanguageTable::Instance());
    ~CPreviewProcessWnd() override;

    void SetConvertOptions(const PreviewConvertOptions& options) { options_ = options; }

    // Runs the extraction and the conversion while the window is shown modally (450 x 250).
    // kDone when they ended, whether or not the extraction succeeded; kStopped after a
    // confirmed stop.
    int Run();

    // After Run(): what the engine extracted, its result, and what the pane is to show.
    const PreviewRequest& Request() const { return request_; }
    Result ExtractResult() const { return extractResult_; }
    const PreviewContent& Content() const { return content_; }

    // The confirmed stop, as the stop question's "yes" gives it.
    void RequestStop() { stop_ = true; }

  public slots:
    // Escape, "cancelbtn", "closebtn" and the window's close: the stop question.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    static int OnProgress(void* userData, int percent, int errorCode);
    void Work();
    void ShowPercent(int percent);
    void AskStop();

    RecoveredItem item_;
    IFileRecoveryParse* engine_;
    std::string previousTempPath_;
    LanguageTable* table_;
    PreviewConvertOptions options_;
    PreviewRequest request_;
    PreviewContent content_;
    Result extractResult_ = kOk;
    int outcome_ = kDone;
    std::atomic<bool> stop_{false};
    bool asking_ = false;
    ProcessWorker* worker_ = nullptr;
    ProgressClock clock_;
    QLabel* percent_ = nullptr;
    QLabel* time_ = nullptr;
    QProgressBar* progress_ = nullptr;
};

// Deletes a preview copy left by an earlier preview. Only files inside the ScanLog folder are
// ever deleted, so a path from a damaged request cannot remove anything else.
void DeletePreviewCopy(const std::string& path);

}  // namespace norvale
