// lumora_gamehost: a loopback web host for the demo game page.
//
//   lumora_gamehost --root DIR [--port N]
//
// Serves the files under DIR on 127.0.0.1 (port 0 picks a free one), GET only, with a MIME
// type by extension; paths that leave DIR, folders and missing files answer 404. Prints
// "listening http://127.0.0.1:<port>" on standard output once it accepts connections, and a
// line per request on standard error. Ends on SIGINT or SIGTERM.

#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string mimeFor(const fs::path& p) {
  std::string ext = p.extension().string();
  if (ext == ".html" || ext == ".htm") return "text/html; charset=utf-8";
  if (ext == ".js") return "application/javascript";
  if (ext == ".json") return "application/json";
  if (ext == ".css") return "text/css";
  if (ext == ".png") return "image/png";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (a == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: lumora_gamehost --root DIR [--port N]\n");
      return 2;
    }
  }
  std::error_code ec;
  if (root.empty() || !fs::is_directory(root, ec)) {
    std::fprintf(stderr, "lumora_gamehost: --root must name a folder\n");
    return 2;
  }
  const fs::path base = fs::canonical(root, ec);

  httplib::Server server;
  server.Get(R"(/.*)", [&](const httplib::Request& req, httplib::Response& res) {
    fs::path wanted = (base / fs::path(req.path).relative_path()).lexically_normal();
    std::error_code e;
    fs::path real = fs::weakly_canonical(wanted, e);
    std::string b = base.string() + "/";
    bool inside = !e && real.string().compare(0, b.size(), b) == 0;
    if (!inside || !fs::is_regular_file(real, e)) {
      res.status = 404;
      res.set_content("not found\n", "text/plain");
    } else {
      std::ifstream in(real, std::ios::binary);
      std::stringstream body;
      body << in.rdbuf();
      res.status = 200;
      res.set_content(body.str(), mimeFor(real).c_str());
    }
    std::fprintf(stderr, "lumora_gamehost: %s %s -> %d\n", req.method.c_str(), req.target.c_str(),
                 res.status);
  });

  // SIGINT and SIGTERM stop the server from a thread of their own.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, &server] {
    int sig = 0;
    if (sigwait(&set, &sig) == 0) server.stop();
  }).detach();
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "lumora_gamehost: cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::printf("listening http://127.0.0.1:%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}
