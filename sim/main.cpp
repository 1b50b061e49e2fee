// benchfw-sim: the simulated instrument on a raw SCPI socket. See
// sim/README.md and `benchfw-sim --help`.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#include "sim/dialogue_log.h"
#include "sim/instrument.h"
#include "sim/options.h"
#include "sim/raw_socket_server.h"
#include "sim/vxi11/vxi11_server.h"

using namespace benchfw::sim;

namespace {

// Every thread inherits this mask, so the two stop signals reach only the
// main thread's sigtimedwait.
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

int waitForStopSignal() {
  const sigset_t set = stopSignals();
  const timespec tick{1, 0};
  while (true) {
    const int sig = sigtimedwait(&set, nullptr, &tick);
    if (sig > 0) return sig;
  }
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!parseOptions(argc - 1, argv + 1, options, error)) {
    std::fprintf(stderr, "benchfw-sim: %s\nTry 'benchfw-sim --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("benchfw-sim %s\n", BENCHFW_SIM_VERSION);
    return 0;
  }

  // A shell starts background jobs with SIGINT ignored; we want it.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  DialogueLog log;
  if (!options.logPath.empty() && !log.open(options.logPath, &error)) {
    std::fprintf(stderr, "benchfw-sim: %s\n", error.c_str());
    return 1;
  }
  Instrument instrument(options.instrument, log);
  RawSocketServer server(instrument);
  if (!server.bind(options.listenAddress, options.port, &error)) {
    std::fprintf(stderr, "benchfw-sim: %s\n", error.c_str());
    return 1;
  }
  bool first = true;
  server.onListening([&] {
    if (first)
      std::fprintf(stderr, "benchfw-sim: listening on %s, %s application running\n",
                   server.endpoint().c_str(), appName(instrument.runningApp()));
    else
      std::fprintf(stderr, "benchfw-sim: up again, %s application running\n",
                   appName(instrument.runningApp()));
    first = false;
  });
  const auto deaf = options.instrument.faults.deafAtStart;
  if (deaf.count() > 0)
    std::fprintf(stderr, "benchfw-sim: port %s reserved, refusing connections for %.3f s\n",
                 server.endpoint().c_str(), static_cast<double>(deaf.count()) / 1000.0);
  Vxi11Server vxi11(instrument, options.vxi11);
  if (options.vxi11.enabled) {
    if (!vxi11.bind(options.listenAddress, &error)) {
      std::fprintf(stderr, "benchfw-sim: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "benchfw-sim: VXI-11 on %s, portmapper port %u, core port %u\n",
                 options.listenAddress.c_str(), unsigned{vxi11.portmapperPort()},
                 unsigned{vxi11.corePort()});
    instrument.addListener(&vxi11);
    vxi11.start();
  }
  instrument.addListener(&server);
  server.start();
  instrument.start();

  const int sig = waitForStopSignal();
  log.line("instrument", std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
  instrument.stop();
  instrument.removeListener(&server);
  server.stop();
  if (options.vxi11.enabled) {
    instrument.removeListener(&vxi11);
    vxi11.stop();
  }
  std::fprintf(stderr, "benchfw-sim: stopped\n");
  return 0;
}
