// xprobe: looks at the windows of an X display from the outside and pokes
// them, as a user would, for the demo check and the window benchmark. It needs
// no window manager (Xvfb): top-level windows are the root's children.
//
//   xprobe wait TITLE [MS]          waits until a window titled TITLE is shown
//   xprobe count TITLE              prints how many windows titled TITLE are shown
//   xprobe click TITLE X Y          clicks at X,Y in the first such window that is
//                                   not a dialog of another
//   xprobe shot FILE.png [TITLE]    saves the screen, or that window, as PNG
//   xprobe close TITLE              asks that window to close, as a window
//                                   manager's close button does (WM_DELETE_WINDOW)
//   xprobe launch [--idle S] TITLE -- PROGRAM [ARGS]
//                                   starts PROGRAM, prints the ms until its window
//                                   titled TITLE is shown; with --idle, the CPU
//                                   share and wake-ups per second of the window's
//                                   process over S seconds after that; then ends it

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

xcb_connection_t* gX = nullptr;
xcb_window_t gRoot = 0;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> Own(T* reply) {
  return Reply<T>(reply, &std::free);
}

double NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

xcb_atom_t Atom(const char* name) {
  auto reply = Own(xcb_intern_atom_reply(gX, xcb_intern_atom(gX, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string Property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
  auto reply = Own(xcb_get_property_reply(gX, xcb_get_property(gX, 0, window, property, type, 0, 1024), nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE) return {};
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

std::string Title(xcb_window_t window) {
  static const xcb_atom_t netName = Atom("_NET_WM_NAME");
  static const xcb_atom_t utf8 = Atom("UTF8_STRING");
  std::string title = Property(window, netName, utf8);
  return title.empty() ? Property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) : title;
}

bool Shown(xcb_window_t window) {
  auto reply = Own(xcb_get_window_attributes_reply(gX, xcb_get_window_attributes(gX, window), nullptr));
  return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool IsDialog(xcb_window_t window) { return !Property(window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW).empty(); }

// Shown top-level windows titled title, oldest first.
std::vector<xcb_window_t> Windows(const std::string& title) {
  std::vector<xcb_window_t> found;
  auto tree = Own(xcb_query_tree_reply(gX, xcb_query_tree(gX, gRoot), nullptr));
  if (!tree) return found;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
    if (Shown(children[i]) && Title(children[i]) == title) found.push_back(children[i]);
  return found;
}

std::optional<xcb_window_t> MainWindow(const std::string& title) {
  for (const xcb_window_t w : Windows(title))
    if (!IsDialog(w)) return w;
  return std::nullopt;
}

struct Box {
  int x = 0, y = 0, width = 0, height = 0;
};

Box Geometry(xcb_window_t window) {
  Box box;
  auto g = Own(xcb_get_geometry_reply(gX, xcb_get_geometry(gX, window), nullptr));
  if (g) box = {g->x, g->y, g->width, g->height};
  return box;
}

int Wait(const std::string& title, int timeoutMs) {
  const double end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    if (!Windows(title).empty()) return 0;
    usleep(20000);
  }
  std::fprintf(stderr, "xprobe: no window \"%s\" within %d ms\n", title.c_str(), timeoutMs);
  return 1;
}

// A press and a release of the left button, sent to the window's own client,
// which gets them as from the pointer.
int Click(const std::string& title, int x, int y) {
  const std::optional<xcb_window_t> window = MainWindow(title);
  if (!window) {
    std::fprintf(stderr, "xprobe: no window \"%s\"\n", title.c_str());
    return 1;
  }
  const Box box = Geometry(*window);
  for (const bool press : {true, false}) {
    xcb_button_press_event_t event{};
    event.response_type = press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE;
    event.detail = 1;
    event.time = XCB_CURRENT_TIME;
    event.root = gRoot;
    event.event = *window;
    event.child = XCB_NONE;
    event.root_x = static_cast<int16_t>(box.x + x);
    event.root_y = static_cast<int16_t>(box.y + y);
    event.event_x = static_cast<int16_t>(x);
    event.event_y = static_cast<int16_t>(y);
    event.state = press ? 0 : XCB_BUTTON_MASK_1;
    event.same_screen = 1;
    xcb_send_event(gX, 0, *window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(gX);
    usleep(50000);
  }
  return 0;
}

// The request a window manager sends when the user closes a window.
int Close(const std::string& title) {
  const std::optional<xcb_window_t> window = MainWindow(title);
  if (!window) {
    std::fprintf(stderr, "xprobe: no window \"%s\"\n", title.c_str());
    return 1;
  }
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = *window;
  event.type = Atom("WM_PROTOCOLS");
  event.data.data32[0] = Atom("WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(gX, 0, *window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  xcb_flush(gX);
  return 0;
}

int Shot(const std::string& file, const std::string& title) {
  xcb_drawable_t drawable = gRoot;
  if (!title.empty()) {
    const std::optional<xcb_window_t> window = MainWindow(title);
    if (!window) {
      std::fprintf(stderr, "xprobe: no window \"%s\"\n", title.c_str());
      return 1;
    }
    drawable = *window;
  }
  const Box box = Geometry(drawable);
  auto image = Own(xcb_get_image_reply(
      gX, xcb_get_image(gX, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, 0, 0, static_cast<uint16_t>(box.width),
                        static_cast<uint16_t>(box.height), ~0u),
      nullptr));
  const int length = image ? xcb_get_image_data_length(image.get()) : 0;
  if (!image || image->depth != 24 || length != box.width * box.height * 4) {
    std::fprintf(stderr, "xprobe: cannot read the screen (needs 24-bit colour)\n");
    return 1;
  }
  const QImage picture(xcb_get_image_data(image.get()), box.width, box.height, box.width * 4, QImage::Format_RGB32);
  if (!picture.save(QString::fromStdString(file), "PNG")) {
    std::fprintf(stderr, "xprobe: cannot write %s\n", file.c_str());
    return 1;
  }
  return 0;
}

// CPU time (user + system, all threads) in clock ticks, and context switches
// of all threads: each voluntary one is a wake-up after a sleep.
struct Usage {
  long long ticks = -1;
  long long switches = 0;
};

Usage UsageOf(pid_t pid) {
  Usage usage;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return usage;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  usage.ticks = utime + stime;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = opendir(tasks.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream status(tasks + "/" + entry->d_name + "/status");
      std::string line;
      while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) usage.switches += std::atoll(line.c_str() + 24);
    }
    closedir(dir);
  }
  return usage;
}

int Launch(const std::string& title, int idleSeconds, char** program) {
  // Watch the root before starting, so that no map is missed.
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(gX, gRoot, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(gX);

  const double start = NowMs();
  pid_t child = -1;
  if (posix_spawnp(&child, program[0], nullptr, nullptr, program, environ) != 0) {
    std::fprintf(stderr, "xprobe: cannot start %s\n", program[0]);
    return 1;
  }
  xcb_window_t window = XCB_NONE;
  const int fd = xcb_get_file_descriptor(gX);
  while (window == XCB_NONE) {
    const double left = start + 30000 - NowMs();
    if (left <= 0 || waitpid(child, nullptr, WNOHANG) == child) {
      std::fprintf(stderr, "xprobe: %s showed no window \"%s\"\n", program[0], title.c_str());
      kill(child, SIGTERM);
      waitpid(child, nullptr, 0);
      return 1;
    }
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 100);
    while (xcb_generic_event_t* event = xcb_poll_for_event(gX)) {
      if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
        const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
        if (window == XCB_NONE && Title(map->window) == title) window = map->window;
      }
      std::free(event);
    }
  }
  std::printf("shown_ms %.1f\n", NowMs() - start);

  if (idleSeconds > 0) {
    const std::string pidText = Property(window, Atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
    if (pidText.size() != 4) {
      std::fprintf(stderr, "xprobe: the window does not name its process\n");
    } else {
      uint32_t pid = 0;
      std::memcpy(&pid, pidText.data(), 4);
      usleep(500000);  // let start-up work settle
      const Usage before = UsageOf(static_cast<pid_t>(pid));
      const double from = NowMs();
      sleep(static_cast<unsigned>(idleSeconds));
      const Usage after = UsageOf(static_cast<pid_t>(pid));
      const double seconds = (NowMs() - from) / 1000.0;
      const double ticks = static_cast<double>(after.ticks - before.ticks);
      std::printf("idle_cpu_percent %.2f\n", ticks * 100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds);
      std::printf("wakeups_per_s %.0f\n", static_cast<double>(after.switches - before.switches) / seconds);
    }
  }
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: xprobe wait TITLE [MS] | count TITLE | click TITLE X Y | shot FILE [TITLE] | close TITLE |\n"
               "              launch [--idle S] TITLE -- PROGRAM [ARGS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  // A server that has just announced its display was now and then not yet
  // taking connections in full runs: tried again for a few seconds.
  gX = xcb_connect(nullptr, nullptr);
  for (int tries = 1; xcb_connection_has_error(gX) && tries < 50; ++tries) {
    xcb_disconnect(gX);
    usleep(100000);
    gX = xcb_connect(nullptr, nullptr);
  }
  if (xcb_connection_has_error(gX)) {
    std::fprintf(stderr, "xprobe: cannot connect to the X display %s\n", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(none)");
    return 1;
  }
  gRoot = xcb_setup_roots_iterator(xcb_get_setup(gX)).data->root;
  const std::string command = argv[1];
  if (command == "wait") return Wait(argv[2], argc > 3 ? std::atoi(argv[3]) : 10000);
  if (command == "count") {
    std::printf("%zu\n", Windows(argv[2]).size());
    return 0;
  }
  if (command == "click" && argc == 5) return Click(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (command == "shot") return Shot(argv[2], argc > 3 ? argv[3] : "");
  if (command == "close") return Close(argv[2]);
  if (command == "launch") {
    int at = 2, idle = 0;
    if (std::strcmp(argv[at], "--idle") == 0 && at + 1 < argc) {
      idle = std::atoi(argv[at + 1]);
      at += 2;
    }
    if (at + 2 >= argc || std::strcmp(argv[at + 1], "--") != 0) return Usage();
    return Launch(argv[at], idle, argv + at + 2);
  }
  return Usage();
}
