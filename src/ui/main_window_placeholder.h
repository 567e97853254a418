#pragma once
// The main window the program opens. For now an empty window with the program's title and
// size; the workflow window (CMainWnd) takes its place through CreateMainWindow.

#include <QWidget>
#include <memory>

namespace norvale {

inline constexpr const char* kMainWindowTitle = "Norvale Card Data Recovery";
inline constexpr int kMainWindowWidth = 800;
inline constexpr int kMainWindowHeight = 500;

// A new main window, titled kMainWindowTitle, not yet shown.
std::unique_ptr<QWidget> CreateMainWindow();

}  // namespace norvale
