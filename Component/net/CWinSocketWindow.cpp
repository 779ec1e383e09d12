#include "net/CWinSocketWindow.h"

#include "net/CWinSocket.h"
#include "platform/Clock.h"

namespace velunor {

CWinSocketWindow::CWinSocketWindow(CWinSocket* owner) {
    handle = platform::CreateWindow(&CWinSocketWindow::Procedure);
    if (handle) platform::SetWindowUserData(handle, owner);
}

CWinSocketWindow::~CWinSocketWindow() { Destroy(); }

void CWinSocketWindow::Destroy() {
    if (!handle) return;
    platform::SetWindowUserData(handle, nullptr);
    platform::DestroyWindow(handle);
    handle = nullptr;
}

platform::LRESULT CWinSocketWindow::Procedure(platform::HWND window, uint32_t message,
                                              platform::WPARAM wParam, platform::LPARAM lParam) {
    auto* owner = static_cast<CWinSocket*>(platform::GetWindowUserData(window));
    if (!owner) return platform::DefWindowProc(window, message, wParam, lParam);
    return owner->WindowMessage(platform::MSG{window, message, wParam, lParam,
                                              platform::GetTickCount()});
}

}  // namespace velunor
