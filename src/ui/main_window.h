#pragma once
// The main window the program opens: the workflow window CMainWnd, titled kMainWindowTitle,
// 800 x 500.

#include <QWidget>
#include <memory>

namespace norvale {

inline constexpr const char* kMainWindowTitle = "Norvale Card Data Recovery";
inline constexpr int kMainWindowWidth = 800;
inline constexpr int kMainWindowHeight = 500;

// A new main window, not yet shown.
std::unique_ptr<QWidget> CreateMainWindow();

}  // namespace norvale
