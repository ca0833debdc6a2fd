// wlclient: the remote-control client window, the program's only window.
//
// The user types the server's TCP port into Port and ticks "Connect": the window
// connects to 127.0.0.1 on that port. Every text the server sends then replaces the
// text in ResCode and sounds a beep; the window sends nothing. Unticking the box
// closes the connection, and so does closing the window.
//
// The window owns its socket object, WinLIRCclient: Form_Load creates it when the
// window is first shown, Form_Unload closes and releases it when the window closes
// (or, failing that, when the window is destroyed). It also drives the socket
// component's message loop from Qt's event loop; everything runs on the GUI thread,
// and nothing here starts a nested event loop.
//
// The handlers stop at the first error, as they are written. An inet::SocketError
// that leaves a handler is caught at the handler's edge and given to ReportError,
// and the program goes on. Not copyable (a QWidget).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace inet {
class CSocket;
class SocketError;
}  // namespace inet

class wlclient : public QWidget {
    Q_OBJECT

public:
    explicit wlclient(QWidget* parent = nullptr);
    ~wlclient() override;

    // Replaces the port text; meant for before the window is shown.
    void SetPortText(const QString& text);
    // Clicks "Connect" as the user would: the box toggles, then CheckCnct_Click runs.
    void ClickConnect();
    // The socket object: empty before the window loads and after it unloads.
    const std::shared_ptr<inet::CSocket>& Client() const { return WinLIRCclient; }

    // ---- Replaceable actions ----

    // The alert sound for each text shown; QApplication::beep() at first.
    std::function<void()> Beep;
    // Tells the user of an error that left a handler: at first a line on stderr and a
    // message box with the number, description and source that does not block.
    std::function<void(const inet::SocketError&)> ReportError;
    // Called with each text that replaces ResCode, as shown; empty at first.
    std::function<void(const QString&)> TextShown;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // ---- The handlers ----
    void Form_Load();
    void CheckCnct_Click();
    void WinLIRCclient_OnDataArrival(int32_t bytesTotal);
    void Form_Unload();

    // Runs one handler; an error that leaves it goes to ReportError.
    void RunHandler(const std::function<void()>& handler);
    void ShowError(const inet::SocketError& error);
    void PumpSocketMessages();

    QLabel* Label1 = nullptr;
    QLineEdit* Port = nullptr;
    QPlainTextEdit* ResCode = nullptr;
    QCheckBox* CheckCnct = nullptr;

    std::shared_ptr<inet::CSocket> WinLIRCclient;
    bool m_loaded = false;  // Form_Load has run and Form_Unload has not
};
