// SPDX-License-Identifier: MIT
#include "inet/cSocket/client/wlclient.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QSocketNotifier>
#include <QTimer>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

namespace {

// The layout is drawn in twips, 1440 to the inch: 15 to the pixel at 96 dots per
// inch, and in step with the screen's logical DPI at any other (Qt's own scale
// factor comes on top, in device-independent pixels).
constexpr int kTwipsPerInch = 1440;
// The DPI the layout was drawn at, where its fonts have their sizes in pixels.
constexpr int kLayoutDpi = 96;

int TwipsToPixels(int twips, int dpi) { return twips * dpi / kTwipsPerInch; }

// A control's box: its edges are the twip edges in pixels.
QRect TwipRect(int left, int top, int width, int height, int dpiX, int dpiY) {
    const int x = TwipsToPixels(left, dpiX);
    const int y = TwipsToPixels(top, dpiY);
    return QRect(x, y, TwipsToPixels(left + width, dpiX) - x, TwipsToPixels(top + height, dpiY) - y);
}

}  // namespace

wlclient::wlclient(const wlclientcore::ClientOptions& options, QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("ZEDizud Arovov"));
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    setFixedSize(TwipsToPixels(2955, dpiX), TwipsToPixels(975, dpiY));

    // The small sans font the layout was drawn for: 8 points at 96 dots per inch. It
    // is given in pixels so that it keeps to the boxes, which are in pixels too, and
    // grows with them; at 11 pixels "Local  Port" just fills its 57-pixel label.
    // (A glyph's width does not grow quite in step with its size: where the label
    // would be a pixel short, the font is a pixel smaller.)
    const auto fontPixels = [dpiY](int pixelsAtLayoutDpi) { return pixelsAtLayoutDpi * dpiY / kLayoutDpi; };
    const QString labelText = QStringLiteral("Local  Port");
    const QRect labelBox = TwipRect(120, 120, 855, 195, dpiX, dpiY);
    QFont small(QStringLiteral("DejaVu Sans"));
    small.setStyleHint(QFont::SansSerif);
    small.setPixelSize(fontPixels(11));
    while (small.pixelSize() > 11 && QFontMetrics(small).horizontalAdvance(labelText) > labelBox.width()) {
        small.setPixelSize(small.pixelSize() - 1);
    }
    setFont(small);

    // Created in tab order.
    Label1 = new QLabel(labelText, this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(labelBox);

    Port = new QLineEdit(QStringLiteral("8765"), this);
    Port->setObjectName(QStringLiteral("Port"));
    Port->setGeometry(TwipRect(1020, 60, 495, 285, dpiX, dpiY));
    // A port has up to five digits, and all of them must show with the cursor after
    // them, or the box scrolls the first one out of sight. The box's 33 pixels leave
    // 27 for text (a 1-pixel frame and Qt's 2-pixel margins on each side), where
    // five 11-pixel digits take 35 and eight-pixel ones 25, too small to read
    // comfortably. Nine-pixel digits take 29 (and the cursor one more), so the text
    // margins give up 1 pixel on the left and 2 on the right, where the cursor sits:
    // a pixel of air stays between the frame and the first digit. (At a higher DPI
    // the box grows with the digits, and the margins stay as they are.)
    QFont portFont = small;
    portFont.setPixelSize(fontPixels(9));
    Port->setFont(portFont);
    Port->setTextMargins(-1, 0, -2, 0);

    // Multi-line, wrapping anywhere: a whole button press line ("<16-digit code>
    // <repeat> <button> <remote>") then fits its two lines, where wrapping at words
    // would push the remote's name into a third, half-hidden one. Read-only, since
    // the next arrival replaces whatever is in it anyway. A scroll bar only for a
    // text taller than the box (see ShowNewestText).
    ResCode = new QPlainTextEdit(this);
    ResCode->setObjectName(QStringLiteral("ResCode"));
    ResCode->setGeometry(TwipRect(60, 360, 2835, 555, dpiX, dpiY));
    ResCode->setReadOnly(true);
    ResCode->setWordWrapMode(QTextOption::WrapAnywhere);
    ResCode->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ResCode->setTabChangesFocus(true);

    CheckCnct = new QCheckBox(QStringLiteral("Connect"), this);
    CheckCnct->setObjectName(QStringLiteral("CheckCnct"));
    CheckCnct->setGeometry(TwipRect(1800, 60, 1035, 255, dpiX, dpiY));

    setTabOrder(Port, ResCode);
    setTabOrder(ResCode, CheckCnct);

    BeepAction = [] { QApplication::beep(); };
    ReportError = [this](const inet::SocketError& error) {
        ShowMessageBox(wlclientcore::ErrorMessageText(error), wlclientcore::ErrorSourceText(error));
    };
    ReportFailure = [this](const std::string& text, const std::string& detail) { ShowMessageBox(text, detail); };

    // clicked, not toggled: the handler runs for the user's clicks (and ClickConnect).
    connect(CheckCnct, &QCheckBox::clicked, this, [this] { m_form->CheckCnct_Click(); });

    // The socket component's messages are dispatched whenever its loop has work.
    auto* messages = new QSocketNotifier(platform::MessageLoopFd(), QSocketNotifier::Read, this);
    connect(messages, &QSocketNotifier::activated, this, &wlclient::PumpSocketMessages);

    m_form = std::make_unique<wlclientcore::ClientForm>(static_cast<wlclientcore::ClientView&>(*this), options);
}

wlclient::~wlclient() {
    // The form unloads before the controls go.
    m_form.reset();
}

void wlclient::ClickConnect() { CheckCnct->click(); }

void wlclient::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_form->Form_Load();  // only the first show after a close loads
}

void wlclient::closeEvent(QCloseEvent* event) {
    m_form->Form_Unload();
    event->accept();
}

// ---- The view ----

std::string wlclient::PortText() const { return Port->text().toStdString(); }

void wlclient::SetPortText(const std::string& text) { Port->setText(QString::fromStdString(text)); }

void wlclient::SetPortEnabled(bool enabled) { Port->setEnabled(enabled); }

int wlclient::CheckValue() const {
    switch (CheckCnct->checkState()) {
        case Qt::Unchecked: return wlclientcore::kUnticked;
        case Qt::Checked: return wlclientcore::kTicked;
        default: return wlclientcore::kGreyed;
    }
}

void wlclient::SetCheckValue(int value) {
    CheckCnct->setCheckState(value == wlclientcore::kUnticked ? Qt::Unchecked
                             : value == wlclientcore::kTicked ? Qt::Checked
                                                              : Qt::PartiallyChecked);
}

void wlclient::SetResCodeText(const std::string& text) {
    // Latin-1 maps byte n to character n: every byte shows as one character.
    ResCode->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ResCode->setPlainText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    ShowNewestText();
}

void wlclient::ShowNewestText() {
    // The end of the last line, not the empty line after a final line end: a text of
    // two lines and a line end fits the box as it is, and shows from its start.
    QTextCursor last = ResCode->textCursor();
    last.movePosition(QTextCursor::End);
    const bool endsInLineEnd = last.block().length() == 1 && last.block().previous().isValid();
    if (endsInLineEnd) last.movePosition(QTextCursor::PreviousCharacter);
    ResCode->setTextCursor(last);
    ResCode->ensureCursorVisible();
    QScrollBar* bar = ResCode->verticalScrollBar();
    if (bar->value() == 0) return;
    // Taller than the box: the scroll bar shows that there is more above, and the
    // narrower text wraps again. The bar counts lines: at its end the empty line
    // after a final line end is the bottom one, so the last line of text sits just
    // above it.
    ResCode->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bar->setValue(bar->maximum() - (endsInLineEnd ? 1 : 0));
}

void wlclient::Beep() {
    if (BeepAction) BeepAction();
}

void wlclient::ShowError(const inet::SocketError& error) {
    if (ReportError) ReportError(error);
}

void wlclient::ShowFailure(const std::string& text, const std::string& detail) {
    if (ReportFailure) ReportFailure(text, detail);
}

void wlclient::RunAfter(std::chrono::milliseconds delay, std::function<void()> action) {
    // With this window as the context: an action still waiting when it goes is dropped.
    QTimer::singleShot(delay, this, std::move(action));
}

void wlclient::ShowMessageBox(const std::string& text, const std::string& detail) {
    // open(), not exec(): no nested event loop, so the handler that failed has ended
    // by the time the user reads the box and the socket messages keep flowing.
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), QString::fromStdString(text), QMessageBox::Ok, this);
    if (!detail.empty()) box->setInformativeText(QString::fromStdString(detail));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void wlclient::PumpSocketMessages() {
    // The form's handlers report the component's errors themselves; anything else one
    // of them throws leaves the pump, and must not leave Qt's event loop with it.
    try {
        platform::PumpMessages(std::chrono::milliseconds(0));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wlclient: %s\n", e.what());
        std::fflush(stderr);
    }
    // A quit request of the component's loop (a signal named to QuitOnSignals) closes
    // the windows as the user would, and Qt's loop ends with the last one.
    if (platform::TakeQuitRequest()) QApplication::closeAllWindows();
}
