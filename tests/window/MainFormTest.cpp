// The debugger window end to end: the real TMainForm offscreen with a real Qt WebEngine view and a
// real node (through tests/app/node-tee, which copies node's own standard error to a log).
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWebEnginePage>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "window/ExceptionDisplay.h"
#include "browser/QtCefRuntime.h"
#include "platform/CommandLine.h"
#include "concurrency/ExThread.h"
#include "common/FreePort.h"
#include "window/MainForm.h"
#include "common/ProcessScan.h"
#include "platform/Registry.h"
#include "app/Services.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

using namespace vexor::testing;

// Runs the event loop (letting it go idle, as a user's session does) until APredicate holds.
template <typename P>
bool WaitIdle(P APredicate, int ATimeoutMs = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!APredicate()) {
    if (clock.elapsed() > ATimeoutMs) return APredicate();
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// Whether the page's document, shadow roots included, holds every text of AParts (the DevTools
// front end builds its panels inside shadow roots).
bool PageShows(QWebEnginePage* APage, const QStringList& AParts) {
  QString parts;
  for (const QString& p : AParts) parts += (parts.isEmpty() ? "" : ",") + QString("'%1'").arg(p);
  const QString script =
      QString(
          "(function(){ let text = '';"
          "  (function walk(n){ if (!n) return; if (n.nodeType === 3) text += n.textContent + '\\n';"
          "    if (n.shadowRoot) walk(n.shadowRoot); for (let c = n.firstChild; c; c = c.nextSibling) walk(c); })"
          "  (document.documentElement);"
          "  return [%1].every(p => text.includes(p)); })()")
          .arg(parts);
  std::optional<bool> answer;
  APage->runJavaScript(script, [&](const QVariant& AResult) { answer = AResult.toBool(); });
  WaitIdle([&] { return answer.has_value(); }, 10000);
  return answer.value_or(false);
}

// With TW_SCREENSHOT_DIR set, the window is saved there as <AName>.png for the documentation.
void SaveScreenshot(QWidget& AForm, const char* AName) {
  const char* dir = std::getenv("TW_SCREENSHOT_DIR");
  if (!dir || !*dir) return;
  // Let the browser's compositor deliver a frame of the current page first.
  QElapsedTimer settle;
  settle.start();
  WaitIdle([&] { return settle.elapsed() > 1500; });
  EXPECT_TRUE(AForm.grab().save(QString::fromLocal8Bit(dir) + "/" + AName + ".png"));
}

// The sockets, pipes and browser files (cache, .pak, shared memory) open in process APid past
// its standard descriptors, by what they point to.
std::set<std::string> SharedDescriptorTargets(pid_t APid) {
  std::set<std::string> targets;
  const std::string folder = "/proc/" + std::to_string(APid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (std::stoi(entry.path().filename().string()) < 3) continue;
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:", 0) == 0 || target.rfind("pipe:", 0) == 0 || target.find(".pak") != std::string::npos ||
        target.rfind("/dev/shm", 0) == 0 || target.find("/cache/") != std::string::npos)
      targets.insert(target);
  }
  return targets;
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FScript = FDir / "debug me.js";  // a blank in the path: the command line quotes it
    std::ofstream(FScript) << "let total = 0;\nfor (let i = 0; i < 3; i++) total += i;\nconsole.log('total', total);\n"
                              "setInterval(() => {}, 1000);\n";
    FLog = FDir / "node.log";
    std::ofstream(FLog).flush();
    ::setenv("TW_TEST_NODE_LOG", FLog.c_str(), 1);
    TRegistry reg;
    if (reg.OpenKey(Key(), false)) {
      for (const char* name : {"Flags", "ShowCmd", "NormalPos", "PixelsPerInch", "Color"}) reg.DeleteValue(name);
    }
  }

  static std::string Key() { return std::string(TMainForm::kRegistryKey) + "\\" + TMainForm::kSection; }

  TTarnwickOptions Options(const std::string& AScript) const {
    TTarnwickOptions o;
    o.Script = AScript;
    o.Port = FreeLoopbackPort();
    o.PortGiven = true;
    o.Node = TW_NODE_TEE;
    return o;
  }

  size_t Attached() const { return CountOf(ReadWholeFile(FLog), "Debugger attached."); }

  TTempDir FDir;
  std::string FScript;
  std::string FLog;
};

// A listening socket on [::1]:APort, where a local program could wait for the session; -1 when
// the machine has no IPv6 loopback.
int SquatIPv6Loopback(uint16_t APort) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int on = 1;
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(APort);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(MainFormTest, AnExistingScriptStartsByItselfBreakingOnLoadAndDevToolsAttaches) {
  const TTarnwickOptions options = Options(FScript);
  const int squatter = SquatIPv6Loopback(static_cast<uint16_t>(options.Port));
  TMainForm form(options);
  ASSERT_NE(form.Requester(), nullptr) << "the run starts without a click";
  EXPECT_TRUE(form.BreakOnLoad()->isChecked());
  EXPECT_TRUE(form.Requester()->StopOnStart());
  EXPECT_EQ(form.ProjectFile()->text().toStdString(), FScript);
  form.show();
  ASSERT_TRUE(WaitIdle([&] { return Attached() == 1; })) << ReadWholeFile(FLog);

  // The address was loaded with "/bundled" removed; the browser maps it onto the bundled front end.
  const QString loaded = form.DebuggerAddress();
  EXPECT_TRUE(loaded.startsWith("devtools://devtools/")) << loaded.toStdString();
  EXPECT_FALSE(loaded.contains("/bundled")) << loaded.toStdString();
  EXPECT_TRUE(form.Browser()->Page()->url().toString().startsWith("devtools://devtools/bundled/"));
  EXPECT_FALSE(form.ShowsStartPage());
  auto nodes = NodesRunning(FScript);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_NE(ReadWholeFile("/proc/" + std::to_string(nodes[0]) + "/cmdline").find("--inspect-brk=127.0.0.1:"),
            std::string::npos);
  EXPECT_TRUE(WaitIdle([&] { return form.RunAction()->text() == "Restart" && form.StopAction()->isEnabled(); }));
  // DevTools shows the script paused on its first line.
  EXPECT_TRUE(WaitIdle([&] { return PageShows(form.Browser()->Page(), {"debug me.js", "Debugger paused"}); }));
  SaveScreenshot(form, "window-debugging");
  if (squatter >= 0) {
    // DevTools went to node on 127.0.0.1; the program on [::1] never saw a connection.
    EXPECT_LT(::accept(squatter, nullptr, nullptr), 0) << "the [::1] squatter received the session";
    ::close(squatter);
  }
}

TEST_F(MainFormTest, NoBreakStartsWithBreakOnLoadUntickedAndRunsTheScript) {
  TTarnwickOptions o = Options(FScript);
  o.BreakOnLoad = false;
  TMainForm form(o);
  EXPECT_FALSE(form.BreakOnLoad()->isChecked());
  ASSERT_NE(form.Requester(), nullptr);
  EXPECT_FALSE(form.Requester()->StopOnStart());
  ASSERT_TRUE(WaitIdle([&] { return NodesRunning(FScript).size() == 1; }));
  const auto nodes = NodesRunning(FScript);
  const std::string cmdline = ReadWholeFile("/proc/" + std::to_string(nodes[0]) + "/cmdline");
  EXPECT_NE(cmdline.find("--inspect=127.0.0.1:"), std::string::npos) << cmdline;
}

TEST_F(MainFormTest, RestartTwiceQuicklyEndsEachNodeBeforeTheNextAndLeavesOne) {
  TMainForm form(Options(FScript));
  form.show();
  ASSERT_TRUE(WaitIdle([&] { return Attached() == 1 && form.RunAction()->isEnabled(); }));
  const pid_t first = RecordedPids(FLog).at(0);
  ASSERT_TRUE(ProcessAlive(first));

  form.RunAction()->trigger();
  EXPECT_FALSE(ProcessAlive(first)) << "the first node ends before Restart returns";
  form.RunAction()->trigger();
  for (pid_t pid : RecordedPids(FLog)) EXPECT_FALSE(ProcessAlive(pid)) << pid;

  ASSERT_TRUE(WaitIdle([&] { return Attached() >= 2 && NodesRunning(FScript).size() == 1; }));
  const auto nodes = NodesRunning(FScript);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0], RecordedPids(FLog).back()) << "the one node left is the last one started";
  // With the browser running, the node started by Restart holds nothing of ours.
  const std::set<std::string> ours = SharedDescriptorTargets(::getpid());
  for (const std::string& target : SharedDescriptorTargets(nodes[0]))
    EXPECT_EQ(ours.count(target), 0u) << "node inherited " << target;
}

TEST_F(MainFormTest, StopShowsTheStartPageAndLeavesNoNode) {
  TMainForm form(Options(FScript));
  form.show();
  ASSERT_TRUE(WaitIdle([&] { return Attached() == 1 && form.StopAction()->isEnabled(); }));

  form.StopAction()->trigger();
  EXPECT_EQ(form.Requester(), nullptr);
  EXPECT_TRUE(NodesRunning(FScript).empty());
  EXPECT_TRUE(form.ShowsStartPage());
  EXPECT_TRUE(WaitIdle([&] { return form.Browser()->Page()->title() == "Tarnwick"; }))
      << form.Browser()->Page()->title().toStdString();
  EXPECT_TRUE(form.Browser()->Page()->url().toString().startsWith("ctrl-data:"))
      << form.Browser()->Page()->url().toString().toStdString();
  EXPECT_TRUE(WaitIdle([&] { return form.RunAction()->text() == "Debug" && !form.StopAction()->isEnabled(); }));
  EXPECT_TRUE(form.RunAction()->isEnabled());
  SaveScreenshot(form, "window-idle");
}

TEST_F(MainFormTest, AMissingFirstArgumentOnlyFillsThePathBox) {
  const std::string missing = FDir / "missing.js";
  TMainForm form(Options(missing));
  form.show();
  EXPECT_EQ(form.ProjectFile()->text().toStdString(), missing);
  EXPECT_EQ(form.Requester(), nullptr);
  EXPECT_TRUE(WaitIdle([&] { return form.RunAction()->text() == "Debug"; }));
  EXPECT_FALSE(form.RunAction()->isEnabled());
  EXPECT_FALSE(form.StopAction()->isEnabled());
  EXPECT_TRUE(WaitIdle([&] { return form.Browser()->Page()->title() == "Tarnwick"; }));
  // The next idle moment after the file appears enables Debug.
  std::ofstream(missing) << "1;\n";
  EXPECT_TRUE(WaitIdle([&] { return form.RunAction()->isEnabled(); }));
  EXPECT_EQ(form.Requester(), nullptr);
}

TEST_F(MainFormTest, TheFileButtonPutsThePickedScriptsFullPathIntoThePathBoxAndStartsIt) {
  TMainForm form(Options(""));
  form.show();
  QFileDialog* dialog = form.FileDialog();
  EXPECT_EQ(dialog->nameFilters(),
            QStringList({"JavaScript (*.js *.mjs *.cjs *.es)", "TypeScript (*.ts *.mts *.cts)", "All files (*)"}));
  EXPECT_EQ(dialog->defaultSuffix(), "js");
  QTimer::singleShot(0, dialog, [&] {
    dialog->selectFile(QString::fromStdString(FScript));
    QMetaObject::invokeMethod(dialog, "accept");
  });
  QAction* button = form.ProjectFile()->actions().value(0);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->toolTip(), "Select file");
  button->trigger();
  EXPECT_EQ(form.ProjectFile()->text().toStdString(), FScript);
  EXPECT_EQ(form.ProjectFile()->placeholderText(), "Select project start file");
  EXPECT_TRUE(WaitIdle([&] { return form.Requester() != nullptr && form.RunAction()->text() == "Restart"; }))
      << "picking a file starts it";
}

TEST_F(MainFormTest, ClosingTheWindowEndsTheScriptAndStoresThePlacement) {
  {
    TMainForm form(Options(FScript));
    form.show();
    ASSERT_TRUE(WaitIdle([&] { return Attached() == 1; }));
    form.setGeometry(30, 40, 900, 600);
    form.close();
    EXPECT_TRUE(NodesRunning(FScript).empty());
    EXPECT_EQ(form.Requester(), nullptr);
  }
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly(Key()));
  EXPECT_EQ(reg.ReadString("NormalPos").value_or(""), "30,40,930,640");
  EXPECT_EQ(reg.ReadString("ShowCmd").value_or(""), "1");
  EXPECT_EQ(reg.ReadString("Flags").value_or(""), "0");
  EXPECT_EQ(reg.ReadString("PixelsPerInch").value_or(""), std::to_string(TFormState::PixelsPerInch(nullptr)));
  EXPECT_TRUE(reg.ValueExists("Color"));
}

TEST_F(MainFormTest, PlacementIsRestoredOnlyAtTheSameDotsPerInch) {
  const std::string here = std::to_string(TFormState::PixelsPerInch(nullptr));
  const std::string other = std::to_string(TFormState::PixelsPerInch(nullptr) + 24);
  struct Case {
    std::string Ppi, ShowCmd, Flags, NormalPos;
    Qt::WindowStates State;
    QRect Normal;  // empty: the design size, wherever the platform put it
  } cases[] = {
      {other, "3", "0", "10,20,710,520", Qt::WindowNoState, QRect()},
      {here, "3", "0", "10,20,710,520", Qt::WindowMaximized, QRect(10, 20, 700, 500)},
      {here, "1", "0", "12,24,812,624", Qt::WindowNoState, QRect(12, 24, 800, 600)},
      {here, "2", "0", "10,20,710,520", Qt::WindowMinimized, QRect(10, 20, 700, 500)},
      {here, "6", "2", "10,20,710,520", Qt::WindowMinimized | Qt::WindowMaximized, QRect(10, 20, 700, 500)},
      {here, "1", "0", "500,20,100,520", Qt::WindowNoState, QRect()},  // left not less than right
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Ppi + " " + c.ShowCmd + " " + c.NormalPos);
    {
      TRegistry reg;
      ASSERT_TRUE(reg.OpenKey(Key(), true));
      reg.WriteString("PixelsPerInch", c.Ppi);
      reg.WriteString("ShowCmd", c.ShowCmd);
      reg.WriteString("Flags", c.Flags);
      reg.WriteString("NormalPos", c.NormalPos);
    }
    TMainForm form(Options(""));
    form.show();
    EXPECT_EQ(form.windowState(), c.State);
    if (c.Normal.isEmpty())
      EXPECT_EQ(form.normalGeometry().size(), QSize(1323, 814));
    else
      EXPECT_EQ(form.normalGeometry(), c.Normal);
  }
}

TEST_F(MainFormTest, APlacementOutsideEveryScreenIsMovedOntoOne) {
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Key(), true));
    reg.WriteString("PixelsPerInch", std::to_string(TFormState::PixelsPerInch(nullptr)));
    reg.WriteString("ShowCmd", "1");
    reg.WriteString("NormalPos", "-5000,-4000,-4300,-3500");
  }
  TMainForm form(Options(""));
  form.show();
  EXPECT_EQ(form.geometry().size(), QSize(700, 500));
  EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().intersects(form.geometry()))
      << form.geometry().x() << "," << form.geometry().y();
}

TEST(ExceptionDisplay, ShowsHandedExceptionsInAModalBoxButNotAborts) {
  QStringList seen;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      seen << box->windowTitle() + ": " + box->text();
      box->done(QMessageBox::Ok);
    }
  });
  closer.start(10);
  std::thread worker([] {
    HandleAppException(std::make_exception_ptr(EAbort()), "worker");
    HandleAppException(std::make_exception_ptr(Exception("Something failed")), "worker");
  });
  worker.join();
  EXPECT_TRUE(WaitIdle([&] { return !seen.isEmpty(); }, 20000));
  HandleAppException(std::make_exception_ptr(Exception("On the main thread")), "main");
  EXPECT_EQ(seen, QStringList({"Vexor Tarnwick: Something failed", "Vexor Tarnwick: On the main thread"}));
}

}  // namespace
}  // namespace vexor

#include "WindowTestMain.h"

int main(int argc, char** argv) { return vexor::testing::RunWindowTests(argc, argv); }
