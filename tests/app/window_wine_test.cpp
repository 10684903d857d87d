// rs485setup.exe, the Win32 window, under Wine on a private Xvfb display,
// against the simulated converter served on a pseudo-terminal here: a COM port
// of the Wine prefix is linked to it and the registry keys the search reads are
// written with Wine's reg tool. window_probe.exe drives the window by its
// messages; the double click comes from xdotool, as real input. Run by the
// Windows suite, which names the programs in the environment.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl_fixture.h"
#include "ops/messages.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"
#include "support/ser2net.h"
#include "support/wine_com_port.h"
#include "support/spawned.h"

namespace {

using Args = std::vector<std::string>;

// Control identifiers of app/form_view_win32.h.
const char kConnButton[] = "101", kButton1[] = "103", kBaudRate[] = "104", kLB[] = "105", kEcho[] = "108",
           kSave[] = "109", kPortEdit[] = "100", kProgressNote[] = "203";

// CPU time the process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));  // after the program's name
  std::string field;
  long ticks = 0;
  for (int k = 3; k <= 15 && fields >> field; ++k)
    if (k >= 14) ticks += std::stol(field);  // utime and stime
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class WindowUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!com.Available() || exe.empty() || probe.empty()) GTEST_SKIP() << "run by the Windows suite only";
    ASSERT_TRUE(sim.Ok());
    ASSERT_TRUE(xvfb.Start({"/bin/sh", "-c", "exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp"}));
    display = ":" + xvfb.ReadLine(10000);
    ASSERT_NE(display, ":");
    ASSERT_TRUE(com.RegisterConverter("7&3C4D", {"DISPLAY=" + display}));
  }
  void TearDown() override {
    if (!com.Available() || probe.empty()) return;
    Probe({"close"});
    window.Finish(0, 10000);
  }

  CtlRun Wine(const Args& args) { return com.Run(args, {"DISPLAY=" + display}); }
  // The probe's output, each line without the carriage return.
  std::string Probe(const Args& args) {
    Args argv = {probe};
    argv.insert(argv.end(), args.begin(), args.end());
    const CtlRun run = Wine(argv);
    std::string out;
    for (char c : run.out)
      if (c != '\r') out += c;
    EXPECT_EQ(run.exitCode, 0) << out << run.err;
    return out;
  }

  const std::string exe = EnvOr("RS485SETUP_EXE");
  const std::string probe = EnvOr("RS485_WINDOW_PROBE");
  ScratchDir dir;
  WineComPort com{"COM11", "\\Device\\rs485window"};
  SimDevice& sim = com.sim;
  const std::string& wineRun = com.wineRun;
  Spawned xvfb;
  Spawned window;
  std::string display;
};

TEST_F(WindowUnderWine, FindsChecksWritesAndUpdatesTheConverter) {
  const Data image = MakeImage(272 * 2 + 50);
  WriteFile("trelvo.bin", image);
  sim.Converter().SetFaults({.corruptCrc = true});
  // The frame trace goes to a file named in Cyrillic, in the locale's UTF-8.
  ASSERT_TRUE(window.Start({wineRun, exe}, {{"DISPLAY=" + display, "LC_ALL=C.UTF-8", "RS485_TRACE=обмен.log"}}));

  // Found through the registry; the panel waits for a check; every caption
  // fits; the focus is on the first control, as in a dialog.
  const std::string found = "port=COM11 baud= parity=-1 bits=-1 stop=0 echo=0 panel=0 save=0 check=1 focus=100";
  EXPECT_EQ(Probe({"wait-text", kPortEdit, "COM11", "30000", "state", found, "5000", "fits"}), found + "\n");

  // A failed check changes nothing and can be repeated, the focus back on its
  // button; a good one fills the controls from 60 00 00 08 4E 80 and hands
  // over to the panel, the focus too.
  const std::string failed = "port=COM11 baud= parity=-1 bits=-1 stop=0 echo=0 panel=0 save=0 check=1 focus=101";
  EXPECT_EQ(Probe({"click", kConnButton, "message", "10000", "state", failed, "5000"}),
            std::string("message=") + MsgSettingsReadFailed + "\n" + failed + "\n");
  sim.Converter().SetFaults({});
  const std::string checked = "port=COM11 baud=9600 parity=0 bits=0 stop=0 echo=1 panel=1 save=1 check=0 focus=104";
  EXPECT_EQ(Probe({"click", kConnButton, "state", checked, "10000"}), checked + "\n");

  // A changed setting is written with exactly the bytes it means, once the
  // converter takes it; a refusal is told and the controls stay for a retry.
  sim.Converter().SetFaults({.refuseWrites = true});
  EXPECT_EQ(Probe({"settext", kBaudRate, "19200", "select", kLB, "1", "check", kEcho, "0", "click", kSave, "message",
                   "10000"}),
            std::string("message=") + MsgSettingsWriteFailed + "\n");
  sim.Converter().SetFaults({});
  const std::string saved = "port=COM11 baud=19200 parity=1 bits=0 stop=0 echo=0 panel=1 save=1 check=0 focus=109";
  EXPECT_EQ(Probe({"click", kSave, "message", "10000", "state", saved, "5000"}),
            std::string("message=") + MsgOk + "\n" + saved + "\n");
  EXPECT_EQ(BytesOf(sim.Converter().Settings()), (Data{0xC0, 0x00, 0x00, 0x08, 'E', 0x00}));
  EXPECT_EQ(sim.Converter().Snapshot().controlWrites, Data{0xC0});

  // The update from a double click: the second click comes while the first
  // runs and starts nothing; the progress window keeps the main one disabled.
  std::string center = Probe({"center", kButton1});
  ASSERT_FALSE(center.empty());
  center.pop_back();
  const auto clicked = std::chrono::steady_clock::now();
  ASSERT_EQ(RunToEnd({"/bin/sh", "-c", "exec xdotool mousemove " + center + " click --repeat 2 --delay 60 1"}, 10000,
                     {{"DISPLAY=" + display}})
                .exitCode,
            0);
  EXPECT_EQ(Probe({"progress", "10000", "message", "30000"}),
            std::string("progress=shown main=disabled\nmessage=") + MsgFinished + "\n");
  EXPECT_GE(std::chrono::steady_clock::now() - clicked, std::chrono::milliseconds(9900));  // the two waits of 5 s
  const SimSnapshot seen = sim.Converter().Snapshot();
  EXPECT_EQ(seen.counters.updateEnters, 2u);
  EXPECT_EQ(seen.counters.updateLeaves, 1u);
  EXPECT_EQ(seen.counters.recordsAcked, 3u);
  ASSERT_GE(seen.image.size(), image.size());
  EXPECT_EQ(Data(seen.image.begin(), seen.image.begin() + static_cast<long>(image.size())), image);
  // The window takes its clicks again, the focus where the user left it.
  const std::string written = "port=COM11 baud=19200 parity=1 bits=0 stop=0 echo=0 panel=1 save=1 check=0 focus=103";
  EXPECT_EQ(Probe({"state", written, "5000"}), written + "\n");
  const std::string trace = ReadText("обмен.log");
  EXPECT_NE(trace.find("\tCOM11\tin\t60 00 00 08 4E 80 72 6C A3 32 57\tsettings, CRC failure\n"), std::string::npos)
      << trace;
}

// "End task" sends WM_CLOSE: during an update the window stays and says it
// will close afterwards, a session end is refused, the update runs to its end
// with the converter told to leave its update mode, and then the window
// closes by itself. The waits sleep meanwhile instead of spinning.
TEST_F(WindowUnderWine, ACloseDuringTheUpdateWaitsForItsEnd) {
  WriteFile("trelvo.bin", MakeImage(272));
  ASSERT_TRUE(window.Start({wineRun, exe}, {{"DISPLAY=" + display}}));
  ASSERT_EQ(Probe({"wait-text", kPortEdit, "COM11", "30000", "click", kButton1, "progress", "10000"}),
            "progress=shown main=disabled\n");
  const double cpuBefore = CpuSeconds(window.pid());
  EXPECT_EQ(Probe({"close", "wait-text", kProgressNote, "Окно закроется после окончания обновления.", "5000",
                   "end-session", "box", "30000"}),
            std::string("end-session=refused\nmessage=") + MsgFinished + "\n");
  EXPECT_LT(CpuSeconds(window.pid()) - cpuBefore, 1.0);
  const SimSnapshot seen = sim.Converter().Snapshot();
  EXPECT_EQ(seen.counters.updateEnters, 2u);
  EXPECT_EQ(seen.counters.updateLeaves, 1u);
  EXPECT_EQ(seen.counters.recordsAcked, 1u);
  EXPECT_EQ(Probe({"message", "1000"}), std::string("message=") + MsgFinished + "\n");
  EXPECT_EQ(window.Finish(0, 10000), 0);
}

// Pointed at an RFC 2217 port, the window shows that name instead of
// searching, and checks and writes the converter behind ser2net over Winsock.
TEST_F(WindowUnderWine, PointedAtAnRfc2217Port) {
  Ser2net relay(sim.Path(), Ser2netAccepter::Rfc2217);
  ASSERT_NE(relay.port(), 0) << relay.Log();
  const std::string name = relay.PortName();
  ASSERT_TRUE(window.Start({wineRun, exe, "--port", name}, {{"DISPLAY=" + display}}));
  const std::string checked = "port=" + name + " baud=9600 parity=0 bits=0 stop=0 echo=1 panel=1 save=1 check=0 focus=104";
  EXPECT_EQ(Probe({"wait-text", kPortEdit, name, "30000", "click", kConnButton, "state", checked, "30000"}),
            checked + "\n");
  EXPECT_EQ(Probe({"select", kLB, "1", "click", kSave, "message", "10000"}), std::string("message=") + MsgOk + "\n");
  EXPECT_EQ(BytesOf(sim.Converter().Settings()), (Data{0x60, 0x00, 0x00, 0x08, 'E', 0x80}));
}

// The form is laid out in its 96-dpi pixels and shown at the monitor's DPI:
// the client area scaled, the font with it, so every caption still fits.
// Wine's DPI is LogPixels of the desktop, which the suite's prefix does not
// have: it is removed again at the end.
TEST_F(WindowUnderWine, ScalesTheFormToTheDpi) {
  static constexpr const char* kDesktop = "HKCU\\Control Panel\\Desktop";
  const struct Restore {
    const WineComPort& com;
    ~Restore() { com.Run({"reg", "delete", kDesktop, "/v", "LogPixels", "/f"}); }
  } restore{com};
  const struct {
    const char* dpi;
    const char* client;
  } cases[] = {{"144", "client=671x446"}, {"96", "client=447x297"}};
  for (const auto& c : cases) {
    ASSERT_EQ(Wine({"reg", "add", kDesktop, "/v", "LogPixels", "/t", "REG_DWORD", "/d", c.dpi, "/f"}).exitCode, 0);
    Spawned shown;
    ASSERT_TRUE(shown.Start({wineRun, exe}, {{"DISPLAY=" + display}}));
    EXPECT_EQ(Probe({"wait-text", kPortEdit, "COM11", "30000", "client", "fits", "close"}), std::string(c.client) + "\n")
        << c.dpi << " dpi";
    EXPECT_EQ(shown.Finish(0, 10000), 0) << shown.out << shown.err;
  }
}

// Common controls 6, from the program's manifest: Ctrl+A in an edit field
// selects all of it.
TEST_F(WindowUnderWine, CtrlASelectsTheWholeField) {
  ASSERT_TRUE(window.Start({wineRun, exe}, {{"DISPLAY=" + display}}));
  std::string center = Probe({"wait-text", kPortEdit, "COM11", "30000", "center", kPortEdit});
  ASSERT_FALSE(center.empty());
  center.pop_back();
  ASSERT_EQ(RunToEnd({"/bin/sh", "-c", "exec xdotool mousemove " + center + " click 1 key ctrl+a"}, 10000,
                     {{"DISPLAY=" + display}})
                .exitCode,
            0);
  EXPECT_EQ(Probe({"selected", kPortEdit, "COM11", "5000"}), "");
}

}  // namespace
