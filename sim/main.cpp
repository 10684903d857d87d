// rs485sim: a simulated converter on a pseudo-terminal. The first line of
// standard output is the terminal's path; the utility opens it like a serial
// port. Runs until SIGINT or SIGTERM. The TCP modes are in sim_tcp_mode.h.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/sim_serve.h"
#include "sim/sim_umockdev.h"
#include "sim/sim_tcp_mode.h"

namespace {

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(gStopPipe[1], &byte, 1);
  errno = saved;
}

const char kUsage[] =
    "Usage: rs485sim [options]\n"
    "       rs485sim [options] --umockdev [--] PROGRAM [ARGS]\n"
    "A simulated RS-485 converter (bus address 16) on a pseudo-terminal. Prints the\n"
    "terminal's path on the first line, then serves until SIGINT or SIGTERM.\n"
    "With --umockdev the converter is USB device 16C0:4E04 with its port\n"
    "/dev/ttyACM0 in a umockdev testbed, and PROGRAM runs inside the testbed; the\n"
    "simulator ends with PROGRAM and its exit status.\n"
    "\n"
    "  --memory FILE      keep the 6-byte settings record in FILE across runs\n"
    "  --image FILE       write the firmware image received in update mode to FILE\n"
    "  --corrupt-crc      corrupt the check bytes of every memory-read answer\n"
    "  --refuse-writes    answer every memory write with 0xFF and store nothing\n"
    "  --delay MS         wait MS milliseconds before every answer\n"
    "  --partial N        send only the first N bytes of every answer\n"
    "  --noise            send 1 to 4 garbage bytes before every answer\n"
    "  --no-ack-after N   acknowledge only the first N firmware records of an update\n"
    "  --silent           hear and answer nothing\n"
    "  --umockdev         serve in a umockdev testbed to PROGRAM (see above)\n"
    "  --converters N     with --umockdev: N converters (1 to 16) behind a hub, each with\n"
    "                     its own memory, serial number SIM0001, SIM0002, ... and place\n"
    "                     1-1.1, 1-1.2, ... (ttyACM0, ttyACM1, ...)\n"
    "  --line-rate BPS    take bytes off the port no faster than BPS bytes per second,\n"
    "                     as a line does (480 at the converter's 4800 baud)\n"
    "  --tcp-listen PORT  serve on TCP port PORT of 127.0.0.1 instead (0: any free port);\n"
    "                     prints \"address:port\" first; a new connection takes over\n"
    "  --bind ADDR        listen on ADDR instead of 127.0.0.1 (0.0.0.0: every interface)\n"
    "  --tcp-connect HOST:PORT  connect to a TCP server port instead, retrying until it\n"
    "                     is there and reconnecting whenever the connection ends\n"
    "  -v, --verbose      log every frame in hex with a timestamp on standard error\n"
    "  -h, --help         show this help\n";

// A whole decimal number from 0 to max, or -1.
long ParseCount(const char* text, long max) {
  if (text == nullptr || *text == '\0') return -1;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0 || value > max) return -1;
  return value;
}

int UsageError(const char* message, const char* argument) {
  std::fprintf(stderr, "rs485sim: %s%s%s\nTry 'rs485sim --help'.\n", message, argument != nullptr ? ": " : "",
               argument != nullptr ? argument : "");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kMemory = 256, kImage, kCorruptCrc, kRefuseWrites, kDelay, kPartial, kNoise, kNoAckAfter, kSilent, kUmockdev };
  enum { kTcpListen = 320, kTcpConnect, kBind, kConverters, kLineRate };
  static const option kOptions[] = {
      {"memory", required_argument, nullptr, kMemory},
      {"image", required_argument, nullptr, kImage},
      {"corrupt-crc", no_argument, nullptr, kCorruptCrc},
      {"refuse-writes", no_argument, nullptr, kRefuseWrites},
      {"delay", required_argument, nullptr, kDelay},
      {"partial", required_argument, nullptr, kPartial},
      {"noise", no_argument, nullptr, kNoise},
      {"no-ack-after", required_argument, nullptr, kNoAckAfter},
      {"silent", no_argument, nullptr, kSilent},
      {"umockdev", no_argument, nullptr, kUmockdev},
      {"tcp-listen", required_argument, nullptr, kTcpListen},
      {"tcp-connect", required_argument, nullptr, kTcpConnect},
      {"bind", required_argument, nullptr, kBind},
      {"converters", required_argument, nullptr, kConverters},
      {"line-rate", required_argument, nullptr, kLineRate},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };

  SimFaults faults;
  const char* memoryFile = nullptr;
  const char* imageFile = nullptr;
  bool verbose = false;
  bool umockdev = false;
  const char* tcpListen = nullptr;
  const char* tcpConnect = nullptr;
  const char* bindAddress = nullptr;
  long converters = 1;
  long lineRate = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+:vh", kOptions, nullptr)) != -1) {
    long value = 0;
    switch (c) {
      case kMemory: memoryFile = optarg; break;
      case kImage: imageFile = optarg; break;
      case kCorruptCrc: faults.corruptCrc = true; break;
      case kRefuseWrites: faults.refuseWrites = true; break;
      case kNoise: faults.noise = true; break;
      case kSilent: faults.silent = true; break;
      case kUmockdev: umockdev = true; break;
      case 'v': verbose = true; break;
      case kTcpListen: tcpListen = optarg; break;
      case kTcpConnect: tcpConnect = optarg; break;
      case kBind: bindAddress = optarg; break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      case kDelay:
        if ((value = ParseCount(optarg, 600000)) < 0) return UsageError("--delay needs milliseconds from 0 to 600000", optarg);
        faults.delayMs = static_cast<int32_t>(value);
        break;
      case kPartial:
        if ((value = ParseCount(optarg, 1000)) < 0) return UsageError("--partial needs a byte count from 0 to 1000", optarg);
        faults.partial = static_cast<int32_t>(value);
        break;
      case kConverters:
        if ((converters = ParseCount(optarg, 16)) < 1) return UsageError("--converters needs a count from 1 to 16", optarg);
        break;
      case kLineRate:
        if ((lineRate = ParseCount(optarg, 10000000)) < 0) return UsageError("--line-rate needs bytes per second", optarg);
        break;
      case kNoAckAfter:
        if ((value = ParseCount(optarg, INT32_MAX)) < 0) return UsageError("--no-ack-after needs a record count", optarg);
        faults.noAckAfter = static_cast<int32_t>(value);
        break;
      case ':': return UsageError("option needs an argument", argv[optind - 1]);
      default: return UsageError("unknown option", argv[optind - 1]);
    }
  }
  if (umockdev) {
    if (optind >= argc) return UsageError("--umockdev needs a program to run", nullptr);
    if (const int status = SimUmockdevEnsureWrapper(argv); status != 0) return status;
  } else if (optind < argc) {
    return UsageError("unexpected argument", argv[optind]);
  }
  SimTcpMode tcp;
  std::string tcpMessage, tcpFault;
  if (!SimTcpModeParse(tcpListen, tcpConnect, bindAddress, &tcp, &tcpMessage, &tcpFault))
    return UsageError(tcpMessage.c_str(), tcpFault.empty() ? nullptr : tcpFault.c_str());
  if (umockdev && tcp.kind != SimTcpMode::None) return UsageError("--umockdev serves a testbed, not TCP", nullptr);
  if (converters > 1 && !umockdev) return UsageError("--converters needs --umockdev", nullptr);
  if (converters > 1 && (memoryFile != nullptr || imageFile != nullptr))
    return UsageError("--memory and --image keep one converter's files; not with --converters", nullptr);

  SimConverter converter;
  converter.SetFaults(faults);
  converter.SetLineRate(static_cast<uint32_t>(lineRate));
  if (verbose) converter.SetLog(stderr);
  if (memoryFile != nullptr) {
    const int error = converter.UseMemoryFile(memoryFile);
    if (error == EINVAL) return UsageError("the memory file is not a 6-byte settings record", memoryFile);
    if (error != 0) {
      std::fprintf(stderr, "rs485sim: %s: %s\n", memoryFile, std::strerror(error));
      return 1;
    }
  }
  if (imageFile != nullptr) converter.UseImageFile(imageFile);

  if (pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("rs485sim: pipe");
    return 1;
  }
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (umockdev) return SimUmockdevRun(converter, static_cast<int>(converters), argv + optind, gStopPipe[0], verbose);

  if (tcp.kind != SimTcpMode::None) return SimTcpModeMain(tcp, converter, gStopPipe[0], verbose ? stderr : nullptr);

  SimPty pty;
  if (!pty.Ok()) {
    std::fprintf(stderr, "rs485sim: cannot open a pseudo-terminal: %s\n", std::strerror(pty.Error()));
    return 1;
  }
  std::printf("%s\n", pty.Path().c_str());
  std::fflush(stdout);

  const int result = SimServeTerminal(pty.Master(), converter, gStopPipe[0]);
  int status = 0;
  if (result != SimServeStopped) {
    std::fprintf(stderr, "rs485sim: serving ended unexpectedly (%d)\n", result);
    status = 1;
  }
  const int error = converter.SaveFiles();
  if (error != 0) {
    std::fprintf(stderr, "rs485sim: saving files: %s\n", std::strerror(error));
    status = 1;
  }
  return status;
}
