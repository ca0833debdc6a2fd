// SPDX-License-Identifier: MIT
// wlclient: the remote-control client window under Qt, the program's only window.
//
// A view of the handlers in ClientForm: it lays out the four controls at their twip
// boxes (at the screen's logical DPI, with the font in step), forwards its show,
// click and close events to the form, and does for the form what a toolkit must
// (texts, the check box, the beep, error boxes, timers).
// It also drives the socket component's message loop from Qt's event loop, and a
// quit request of that loop (a signal named to platform::QuitOnSignals) closes the
// program's windows as the user would; everything runs on the GUI thread, and
// nothing here starts a nested event loop.
//
// Showing the window loads the form; closing it unloads the form, and so does
// destroying it. Not copyable (a QWidget).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "inet/cSocket/client/ClientForm.h"
#include "inet/cSocket/client/ClientView.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace inet {
class CSocket;
class SocketError;
}  // namespace inet

class wlclient : public QWidget, private wlclientcore::ClientView {
    Q_OBJECT

public:
    explicit wlclient(const wlclientcore::ClientOptions& options = {}, QWidget* parent = nullptr);
    ~wlclient() override;

    // Clicks "Connect" as the user would: the box toggles, then CheckCnct_Click runs.
    void ClickConnect();
    // The handlers behind the window.
    wlclientcore::ClientForm& Form() { return *m_form; }
    // The socket object: empty before the window loads and after it unloads.
    const std::shared_ptr<inet::CSocket>& Client() const { return m_form->Client(); }

    // ---- Replaceable actions ----

    // The alert sound for each text shown; QApplication::beep() at first.
    std::function<void()> BeepAction;
    // Shows an error that left a handler (the form has already written it to
    // standard error): at first a message box with the number, description and
    // source that does not block.
    std::function<void(const inet::SocketError&)> ReportError;
    // Shows why the connection could not be made or ended (the form has already
    // written it to standard error): at first the same kind of message box.
    std::function<void(const std::string& text, const std::string& detail)> ReportFailure;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // ---- ClientView ----
    std::string PortText() const override;
    void SetPortText(const std::string& text) override;
    void SetPortEnabled(bool enabled) override;
    int CheckValue() const override;
    void SetCheckValue(int value) override;
    void SetResCodeText(const std::string& text) override;
    void Beep() override;
    void ShowError(const inet::SocketError& error) override;
    void ShowFailure(const std::string& text, const std::string& detail) override;
    void RunAfter(std::chrono::milliseconds delay, std::function<void()> action) override;

    void ShowMessageBox(const std::string& text, const std::string& detail);
    // Brings ResCode's last line into view, with a scroll bar when the text is taller
    // than the box.
    void ShowNewestText();
    void PumpSocketMessages();

    QLabel* Label1 = nullptr;
    QLineEdit* Port = nullptr;
    QPlainTextEdit* ResCode = nullptr;
    QCheckBox* CheckCnct = nullptr;

    std::unique_ptr<wlclientcore::ClientForm> m_form;
};
