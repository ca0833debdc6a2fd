// SPDX-License-Identifier: MIT
// The client window under Qt's offscreen platform: its start-up state, what a tick
// and an untick do, how arriving text is shown (the last line of a text taller
// than the box), how errors and failed connections are reported and leave the box
// unticked, and how closing the window ends the connection. The server is a plain
// loopback peer.
#include "inet/cSocket/client/wlclient.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/Testing.h"
#include "tests/support/Loopback.h"

namespace {

constexpr int kWaitMs = 5000;

struct Reported {
    int32_t number;
    std::string source;
    std::string description;
};

// Waits, running Qt's event loop (and with it the socket messages), until the peer's
// end of a connection reads end of stream. False on a time-out or a reset.
bool PeerSeesEndOfStream(int fd) {
    bool ended = false;
    (void)QTest::qWaitFor([&] {
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) ended = true;
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }, kWaitMs);
    return ended;
}

// A shown window with its beep, error reporter and echo replaced by recorders.
class WlclientTest : public ::testing::Test {
protected:
    void SetUp() override { Open(); }

    void TearDown() override {
        for (int fd : m_peers) ::close(fd);
        window.reset();
        platform::testing::Reset();
        // Nothing the window made outlives it.
        EXPECT_EQ(inet::MSocketSupport::RegisteredSocketCount(), 0);
    }

    void Open(bool recordErrors = true) {
        window = std::make_unique<wlclient>();
        window->BeepAction = [this] { ++beeps; };
        if (recordErrors) {
            window->ReportError = [this](const inet::SocketError& e) {
                errors.push_back({e.Number(), e.Source(), e.Description()});
            };
            window->ReportFailure = [this](const std::string& text, const std::string& detail) {
                failures.push_back(detail.empty() ? text : text + "\n" + detail);
            };
        }
        window->Form().TextShown = [this](std::string_view bytes) {
            shown.push_back(QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())));
        };
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        label = window->findChild<QLabel*>("Label1");
        port = window->findChild<QLineEdit*>("Port");
        resCode = window->findChild<QPlainTextEdit*>("ResCode");
        check = window->findChild<QCheckBox*>("CheckCnct");
        ASSERT_TRUE(label && port && resCode && check);
    }

    // Types the port text and clicks the check box with the mouse.
    void Click(const QString& portText) {
        port->setText(portText);
        Click();
    }
    void Click() { QTest::mouseClick(check, Qt::LeftButton); }

    // Ticks "Connect" with the listener's port and returns the accepted peer.
    int Connect(testsupport::RawListener& listener) {
        Click(QString::number(listener.Port()));
        const int peer = listener.Accept();
        if (peer >= 0) m_peers.push_back(peer);
        const bool connected = QTest::qWaitFor(
            [&] { return window->Client() && window->Client()->State() == inet::SocketState::Connected; }, kWaitMs);
        return connected ? peer : -1;
    }

    // Waits for `count` beeps, then a little longer for any beep too many.
    void WaitForBeeps(int count) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return beeps >= count; }, kWaitMs)) << "beeps: " << beeps;
        QTest::qWait(100);
    }

    std::unique_ptr<wlclient> window;
    QLabel* label = nullptr;
    QLineEdit* port = nullptr;
    QPlainTextEdit* resCode = nullptr;
    QCheckBox* check = nullptr;

    int beeps = 0;
    std::vector<Reported> errors;
    std::vector<std::string> failures;  // text, then a line of detail if there is one
    std::vector<QString> shown;

    // Whether ResCode shows the line that ends at `position` whole.
    bool ShowsLineEndingAt(int position) {
        QTextCursor at(resCode->document());
        at.setPosition(position);
        return resCode->viewport()->rect().contains(resCode->cursorRect(at));
    }

private:
    std::vector<int> m_peers;
};

void ExpectError(const std::vector<Reported>& errors, int32_t number, const std::string& source,
                 const std::string& description) {
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, number);
    EXPECT_EQ(errors[0].source, source);
    EXPECT_EQ(errors[0].description, description);
}

// ---- Start-up ------------------------------------------------------------------

TEST_F(WlclientTest, StartsUnconnectedWithThePortReadyToEdit) {
    EXPECT_EQ(window->windowTitle(), "ZEDizud Arovov");
    EXPECT_EQ(label->text(), "Local  Port");
    EXPECT_EQ(port->text(), "8765");
    EXPECT_TRUE(port->isEnabled());
    EXPECT_FALSE(port->isReadOnly());
    EXPECT_TRUE(resCode->toPlainText().isEmpty());
    EXPECT_EQ(check->text(), "Connect");
    EXPECT_EQ(check->checkState(), Qt::Unchecked);

    // Form_Load has made the object, aimed at this machine, and connected nothing yet.
    const auto& client = window->Client();
    ASSERT_TRUE(client);
    EXPECT_EQ(client->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(client->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(client->Protocol(), inet::SocketProtocol::Tcp);
    EXPECT_EQ(client->State(), inet::SocketState::Closed);
    EXPECT_EQ(client->SocketHandle(), -1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(beeps, 0);
}

// Twips at the screen's logical DPI (96 unless the run sets another): the boxes'
// edges are the twip edges in pixels, and the fonts grow with them.
TEST_F(WlclientTest, HasItsTwipLayoutAtTheScreensDpi) {
    const int dpiX = window->logicalDpiX(), dpiY = window->logicalDpiY();
    const auto box = [&](int left, int top, int width, int height) {
        return QRect(QPoint(left * dpiX / 1440, top * dpiY / 1440),
                     QPoint((left + width) * dpiX / 1440 - 1, (top + height) * dpiY / 1440 - 1));
    };
    const QSize size(2955 * dpiX / 1440, 975 * dpiY / 1440);
    EXPECT_EQ(window->size(), size);
    EXPECT_EQ(window->minimumSize(), size);
    EXPECT_EQ(window->maximumSize(), size);
    EXPECT_EQ(label->geometry(), box(120, 120, 855, 195));
    EXPECT_EQ(port->geometry(), box(1020, 60, 495, 285));
    EXPECT_EQ(resCode->geometry(), box(60, 360, 2835, 555));
    EXPECT_EQ(check->geometry(), box(1800, 60, 1035, 255));
    // The font in step, or a pixel or two less where its label would not fit.
    EXPECT_LE(window->font().pixelSize(), 11 * dpiY / 96);
    EXPECT_GE(window->font().pixelSize(), 11 * dpiY / 96 - 2);
    EXPECT_EQ(port->font().pixelSize(), 9 * dpiY / 96);
    if (dpiX != 96 || dpiY != 96) return;
    // At 96 dots per inch, the pixels the window has always had.
    EXPECT_EQ(window->font().pixelSize(), 11);
    EXPECT_EQ(window->size(), QSize(197, 65));
    EXPECT_EQ(label->geometry(), QRect(8, 8, 57, 13));
    EXPECT_EQ(port->geometry(), QRect(68, 4, 33, 19));
    EXPECT_EQ(resCode->geometry(), QRect(4, 24, 189, 37));
    EXPECT_EQ(check->geometry(), QRect(120, 4, 69, 17));
}

TEST_F(WlclientTest, TabGoesFromPortToResCodeToConnect) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    port->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return port->hasFocus(); }, kWaitMs));
    QTest::keyClick(port, Qt::Key_Tab);
    EXPECT_TRUE(resCode->hasFocus());
    QTest::keyClick(resCode, Qt::Key_Tab);
    EXPECT_TRUE(check->hasFocus());
    QTest::keyClick(check, Qt::Key_Tab);
    EXPECT_TRUE(port->hasFocus());
    EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
}

TEST_F(WlclientTest, EveryCaptionFitsItsBox) {
    // (The small font: Qt's default 9 points would need 62 pixels for "Local  Port".)
    const QFontMetrics labelMetrics(label->font());
    EXPECT_LE(labelMetrics.horizontalAdvance(label->text()), label->contentsRect().width());
    EXPECT_LE(labelMetrics.height(), label->contentsRect().height());

    QStyleOptionButton option;
    option.initFrom(check);
    option.text = check->text();
    const QRect text = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check);
    EXPECT_LE(QFontMetrics(check->font()).horizontalAdvance(check->text()), text.width());
    EXPECT_LE(text.right(), check->rect().right());
}

TEST_F(WlclientTest, ThePortBoxShowsAFiveDigitPortWhole) {
    // Qt scrolls a line edit's text once the text and the cursor after it no longer
    // fit: then the cursor at the end sits less than the text's width from the start.
    port->setText("65535");
    port->setCursorPosition(0);
    port->repaint();
    const QRect start = port->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    port->setCursorPosition(5);
    port->repaint();
    const QRect end = port->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    EXPECT_EQ(end.center().x() - start.center().x(),
              qRound(QFontMetricsF(port->font()).horizontalAdvance("65535")));
    EXPECT_LE(end.center().x(), port->contentsRect().right());
    // Still a font one can read.
    EXPECT_GE(port->font().pixelSize(), 9 * window->logicalDpiY() / 96);
}

// ---- Ticking -------------------------------------------------------------------

class WlclientTickTest : public WlclientTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WlclientTickTest, ConnectsToThePortInTheBox) {
    testsupport::RawListener listener;
    Click(QString(GetParam()).arg(listener.Port()));
    EXPECT_EQ(window->Client()->RemotePort(), listener.Port());
    EXPECT_EQ(check->checkState(), Qt::Checked);
    EXPECT_FALSE(port->isEnabled());

    const int peer = listener.Accept();
    ASSERT_GE(peer, 0) << "no connection came";
    ::close(peer);
    EXPECT_TRUE(errors.empty());
}

INSTANTIATE_TEST_SUITE_P(PortTexts, WlclientTickTest, ::testing::Values("%1", " %1", "  %1", "%1.4"));

TEST_F(WlclientTest, TickingWithTheFirstTextAimsAtPort8765) {
    Click();
    EXPECT_EQ(window->Client()->RemotePort(), 8765);
    // Connect ran: a socket was made, whatever listens on 8765 here.
    EXPECT_TRUE(window->Client()->SocketHandle() != -1 || window->Client()->State() != inet::SocketState::Closed);
}

TEST_F(WlclientTest, EmptyOrNonNumericPortConnectsToPortZeroWhichConnectRefuses) {
    for (const char* text : {"", "abc", "0", " x8765"}) {
        SCOPED_TRACE(std::string("port text \"") + text + "\"");
        errors.clear();
        Click(text);
        EXPECT_EQ(window->Client()->RemotePort(), 0);
        ExpectError(errors, 10049, "CSocket.CSocket.Connect", "Cannot assign requested address.");
        // The handler stopped at the error, and nothing connects: unticked, as the user would.
        EXPECT_EQ(check->checkState(), Qt::Unchecked);
        EXPECT_TRUE(port->isEnabled());
    }
    EXPECT_EQ(beeps, 0);
}

TEST_F(WlclientTest, PortBeyond16BitsRaisesOverflowFromConnect) {
    const struct {
        const char* text;
        int32_t port;
    } cases[] = {{"70000", 70000}, {"65536", 65536}, {"-1", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("port text \"") + c.text + "\"");
        errors.clear();
        Click(c.text);
        EXPECT_EQ(window->Client()->RemotePort(), c.port);  // the setter stores any value
        ExpectError(errors, 6, "CSocket.CSocket.Connect", "Overflow");
        EXPECT_EQ(check->checkState(), Qt::Unchecked);
        EXPECT_TRUE(port->isEnabled());
    }
}

TEST_F(WlclientTest, PortBeyond32BitsRaisesOverflowBeforeConnect) {
    Click("3000000000");
    ExpectError(errors, 6, "PortText.ToPortNumber", "Overflow");
    EXPECT_EQ(window->Client()->RemotePort(), 0);     // never set
    EXPECT_EQ(window->Client()->SocketHandle(), -1);  // Connect never ran
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
    EXPECT_TRUE(port->isEnabled());
}

TEST_F(WlclientTest, AfterAFailedTickTheNextTickConnects) {
    Click("70000");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
    EXPECT_TRUE(port->isEnabled());
    EXPECT_EQ(window->Client()->SocketHandle(), -1);  // the socket Connect had made is gone

    testsupport::RawListener listener;
    EXPECT_GE(Connect(listener), 0);
    EXPECT_FALSE(port->isEnabled());
    EXPECT_EQ(errors.size(), 1u);
}

// ---- Unticking -----------------------------------------------------------------

TEST_F(WlclientTest, ARefusedConnectionUnticksTheBoxAndSaysWhy) {
    const int closed = testsupport::ClosedPort();
    Click(QString::number(closed));
    EXPECT_FALSE(port->isEnabled());
    // The refusal arrives later, as OnError: the box is unticked as the user would,
    // which finds the object's socket gone already.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !failures.empty(); }, kWaitMs));
    EXPECT_EQ(failures, (std::vector<std::string>{"Cannot connect to 127.0.0.1 port " + std::to_string(closed) +
                                                  ": connection refused (10061)"}));
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
    EXPECT_TRUE(port->isEnabled());
    EXPECT_EQ(window->Client()->State(), inet::SocketState::Error);
    EXPECT_EQ(window->Client()->SocketHandle(), -1);
    EXPECT_TRUE(errors.empty());
}

TEST_F(WlclientTest, UntickingAConnectionClosesIt) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    Click();
    EXPECT_TRUE(port->isEnabled());
    EXPECT_TRUE(PeerSeesEndOfStream(peer));
    EXPECT_TRUE(errors.empty());
}

// ---- Arriving text -------------------------------------------------------------

TEST_F(WlclientTest, TwoTextsWaitingTogetherAppearTogetherWithOneBeep) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    // Both are queued before the window's loop runs again.
    ASSERT_TRUE(testsupport::WriteAll(peer, "0000000000f40bf0 00 KEY_UP myremote\n"));
    ASSERT_TRUE(testsupport::WriteAll(peer, "0000000000f40bf1 00 KEY_DOWN myremote\n"));
    WaitForBeeps(1);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(resCode->toPlainText(), "0000000000f40bf0 00 KEY_UP myremote\n0000000000f40bf1 00 KEY_DOWN myremote\n");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], resCode->toPlainText());
}

TEST_F(WlclientTest, ALaterTextReplacesTheEarlierOne) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(testsupport::WriteAll(peer, "first\n"));
    WaitForBeeps(1);
    EXPECT_EQ(resCode->toPlainText(), "first\n");
    ASSERT_TRUE(testsupport::WriteAll(peer, "second\n"));
    WaitForBeeps(2);
    EXPECT_EQ(beeps, 2);
    EXPECT_EQ(resCode->toPlainText(), "second\n");
    EXPECT_EQ(shown, (std::vector<QString>{"first\n", "second\n"}));
}

TEST_F(WlclientTest, ShowsEachByteAsOneCharacterUnparsed) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    const std::string bytes("caf\xe9\t\x01\0z\r\n\xff", 11);
    ASSERT_TRUE(testsupport::WriteAll(peer, bytes));
    WaitForBeeps(1);
    ASSERT_EQ(shown.size(), 1u);
    const QString expected = QString::fromUtf16(u"caf\u00e9\t\u0001\u0000z\r\n\u00ff", 11);
    EXPECT_EQ(shown[0], expected);
    // The box shows a line end, CR LF included, as a line break.
    EXPECT_EQ(resCode->toPlainText(), QString::fromUtf16(u"caf\u00e9\t\u0001\u0000z\n\u00ff", 10));
}

TEST_F(WlclientTest, AServerThatClosesUnticksTheBoxAndLeavesTheTextShown) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(testsupport::WriteAll(peer, "last words\n"));
    WaitForBeeps(1);
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !failures.empty(); }, kWaitMs));
    EXPECT_EQ(failures, (std::vector<std::string>{"The server closed the connection\n127.0.0.1 port " +
                                                  std::to_string(listener.Port())}));
    EXPECT_EQ(window->Client()->State(), inet::SocketState::Closed);
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
    EXPECT_TRUE(port->isEnabled());
    EXPECT_EQ(resCode->toPlainText(), "last words\n");
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(errors.empty());
}

// A burst of presses in one read: the newest line is in view, with a scroll bar to
// say that there is more above. A press that fits shows as it always has.
TEST_F(WlclientTest, ShowsTheLastLineOfATextTallerThanTheBox) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    const std::string press = "0000000000f40bf0 00 KEY_UP myremote\n";
    ASSERT_TRUE(testsupport::WriteAll(peer, press));
    WaitForBeeps(1);
    EXPECT_FALSE(resCode->verticalScrollBar()->isVisible());
    EXPECT_EQ(resCode->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(ShowsLineEndingAt(0));
    EXPECT_TRUE(ShowsLineEndingAt(static_cast<int>(press.size()) - 1));

    std::string burst;
    for (int i = 1; i <= 6; ++i) burst += "000000000000000" + std::to_string(i) + " 00 KEY_" + std::to_string(i) + " r\n";
    ASSERT_TRUE(testsupport::WriteAll(peer, burst));
    WaitForBeeps(2);
    ASSERT_EQ(resCode->toPlainText().toStdString(), burst);  // still replaced, whole
    EXPECT_TRUE(resCode->verticalScrollBar()->isVisible());
    EXPECT_TRUE(ShowsLineEndingAt(static_cast<int>(burst.size()) - 1)) << "the sixth line is not in view";
    EXPECT_FALSE(ShowsLineEndingAt(0));

    // One long line, lircd's with a long remote name: its end shows.
    const std::string longLine = "0000000000f40bf0 00 KEY_VOLUMEUP living_room_remote_control\n";
    ASSERT_TRUE(testsupport::WriteAll(peer, longLine));
    WaitForBeeps(3);
    EXPECT_TRUE(ShowsLineEndingAt(static_cast<int>(longLine.size()) - 1));

    // And the next short press shows as the first did.
    ASSERT_TRUE(testsupport::WriteAll(peer, press));
    WaitForBeeps(4);
    EXPECT_FALSE(resCode->verticalScrollBar()->isVisible());
    EXPECT_TRUE(ShowsLineEndingAt(0));
}

// ---- Closing -------------------------------------------------------------------

TEST_F(WlclientTest, ClosingWhileConnectedClosesTheSocketBeforeReleasingIt) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    // Held here, the object outlives the window's reference: the peer can then only
    // see the end of the stream if the window closed the socket itself.
    const std::shared_ptr<inet::CSocket> kept = window->Client();
    window->close();
    EXPECT_FALSE(window->Client());
    EXPECT_EQ(kept.use_count(), 1);
    EXPECT_EQ(kept->State(), inet::SocketState::Closing);
    EXPECT_TRUE(PeerSeesEndOfStream(peer));

    // Released, the object no longer reaches the window.
    ASSERT_TRUE(testsupport::WriteAll(peer, "late\n"));
    QTest::qWait(200);
    EXPECT_EQ(beeps, 0);
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(errors.empty());
}

TEST_F(WlclientTest, DestroyingTheWindowUnloadsIt) {
    testsupport::RawListener listener;
    const int peer = Connect(listener);
    ASSERT_GE(peer, 0);
    const std::weak_ptr<inet::CSocket> client = window->Client();
    window.reset();
    EXPECT_TRUE(client.expired());
    EXPECT_TRUE(PeerSeesEndOfStream(peer));
}

TEST_F(WlclientTest, ShowingAClosedWindowAgainLoadsItAgain) {
    window->close();
    EXPECT_FALSE(window->Client());
    window->show();
    ASSERT_TRUE(window->Client());
    EXPECT_EQ(window->Client()->RemoteHost(), "127.0.0.1");
}

// ---- Error reports -------------------------------------------------------------

TEST_F(WlclientTest, TheUsualReportIsALineOnStderrAndAMessageBoxThatDoesNotBlock) {
    window.reset();
    Open(/*recordErrors=*/false);
    testing::internal::CaptureStderr();
    Click("70000");  // returns: the box does not run an event loop of its own
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_NE(line.find("error 6: Overflow (CSocket.CSocket.Connect)"), std::string::npos) << line;

    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        box = window->findChild<QMessageBox*>();
        return box && box->isVisible();
    }, kWaitMs));
    EXPECT_TRUE(box->text().contains("6"));
    EXPECT_TRUE(box->text().contains("Overflow"));
    EXPECT_TRUE(box->informativeText().contains("CSocket.CSocket.Connect"));
    EXPECT_EQ(check->checkState(), Qt::Unchecked);  // nothing connects
    box->accept();

    // A refused connection is shown the same way.
    const int closed = testsupport::ClosedPort();
    testing::internal::CaptureStderr();
    Click(QString::number(closed));
    const std::string expected =
        "Cannot connect to 127.0.0.1 port " + std::to_string(closed) + ": connection refused (10061)";
    ASSERT_TRUE(QTest::qWaitFor([&] {
        box = window->findChild<QMessageBox*>();
        return box && box->isVisible();
    }, kWaitMs));
    const std::string failureLine = testing::internal::GetCapturedStderr();
    EXPECT_NE(failureLine.find("wlclient: " + expected + "\n"), std::string::npos) << failureLine;
    EXPECT_EQ(box->text().toStdString(), expected);
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
    box->accept();
}

TEST_F(WlclientTest, AFailedLoadIsReportedAndTheWindowKeepsRunning) {
    window.reset();
    platform::testing::FailNextStartup(10091);
    Open();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 10091);
    EXPECT_FALSE(window->Client());

    errors.clear();
    Click("8765");
    ExpectError(errors, 91, "wlclient.CheckCnct_Click", "Object variable not set");
    EXPECT_TRUE(port->isEnabled());
    window->close();  // and unloading has nothing to close
    EXPECT_FALSE(window->isVisible());
}

}  // namespace
