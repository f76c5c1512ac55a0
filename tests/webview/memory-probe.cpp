// Prints the memory of this process and its WebKit processes with one or
// more web views open on a tiny page, after they have settled.
//
//   korvath_webview_memory [engine|webkit-defaults] [views] [url] [seconds]
//
// "engine" builds the views on WebEngine; "webkit-defaults" on plain
// webkit_web_view_new(), for comparison. PSS counts shared library pages in
// proportion, so it drops while other WebKit programs run on the machine; the
// count of those is printed so a reading can be judged.
#include <dirent.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "webview/web-engine.h"
#include "webview/web-view.h"

namespace {

struct Memory {
  long rss_kb = 0, pss_kb = 0, uss_kb = 0;
};

Memory ReadMemory(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  Memory m;
  auto field = [&](const char* key) {
    return line.rfind(key, 0) == 0 ? std::stol(line.substr(std::strlen(key))) : 0L;
  };
  while (std::getline(file, line)) {
    m.rss_kb += field("Rss:");
    m.pss_kb += field("Pss:");
    m.uss_kb += field("Private_Clean:") + field("Private_Dirty:");
  }
  return m;
}

std::string Name(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

int Parent(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(file, line);
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  char state = 0;
  int parent = -1;
  rest >> state >> parent;
  return parent;
}

std::vector<int> AllPids() {
  std::vector<int> pids;
  if (DIR* dir = opendir("/proc")) {
    while (dirent* entry = readdir(dir)) {
      if (int pid = std::atoi(entry->d_name); pid > 0) pids.push_back(pid);
    }
    closedir(dir);
  }
  return pids;
}

void AddTree(int root, const std::vector<int>& all, std::vector<int>& out) {
  out.push_back(root);
  for (int pid : all) {
    if (Parent(pid) == root) AddTree(pid, all, out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "engine";
  const int views = argc > 2 ? std::atoi(argv[2]) : 1;
  const char* url = argc > 3 && argv[3][0] ? argv[3] : nullptr;
  const int seconds = argc > 4 ? std::atoi(argv[4]) : 10;
  if (mode != "engine" && mode != "webkit-defaults") {
    std::fprintf(stderr, "usage: %s [engine|webkit-defaults] [views] [url] [seconds]\n", argv[0]);
    return 2;
  }
  if (mode == "engine") korvath::WebEngine::PrepareEnvironment();
  gtk_init(nullptr, nullptr);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window), box);
  const char* html = "<html><body><h1>Hello</h1><p>tiny page</p></body></html>";
  std::unique_ptr<korvath::WebEngine> engine;
  std::vector<std::unique_ptr<korvath::WebView>> engine_views;
  for (int i = 0; i < views; ++i) {
    if (mode == "engine") {
      if (!engine) engine = std::make_unique<korvath::WebEngine>();
      engine_views.push_back(std::make_unique<korvath::WebView>(*engine));
      gtk_box_pack_start(GTK_BOX(box), engine_views.back()->widget(), TRUE, TRUE, 0);
      if (url)
        engine_views.back()->LoadUrl(url);
      else
        engine_views.back()->LoadHtml(html);
    } else {
      GtkWidget* view = webkit_web_view_new();
      gtk_box_pack_start(GTK_BOX(box), view, TRUE, TRUE, 0);
      if (url)
        webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), url);
      else
        webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), html, nullptr);
    }
  }
  gtk_widget_show_all(window);
  g_timeout_add_seconds(
      seconds,
      [](gpointer) -> gboolean {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
      },
      nullptr);
  gtk_main();

  const std::vector<int> all = AllPids();
  std::vector<int> tree;
  AddTree(getpid(), all, tree);
  Memory total;
  for (int pid : tree) {
    const Memory m = ReadMemory(pid);
    if (m.rss_kb == 0) continue;
    total.rss_kb += m.rss_kb;
    total.pss_kb += m.pss_kb;
    total.uss_kb += m.uss_kb;
    std::printf("  %-16s PSS %6.1f  USS %6.1f  RSS %6.1f MB\n", Name(pid).c_str(), m.pss_kb / 1024.0,
                m.uss_kb / 1024.0, m.rss_kb / 1024.0);
  }
  int others = 0;
  for (int pid : all) {
    if (std::find(tree.begin(), tree.end(), pid) == tree.end() && Name(pid).rfind("WebKit", 0) == 0) ++others;
  }
  std::printf(
      "%s, %d view(s), after %d s: PSS %.1f  USS %.1f  RSS %.1f MB  (other WebKit processes "
      "on the machine: %d)\n",
      mode.c_str(), views, seconds, total.pss_kb / 1024.0, total.uss_kb / 1024.0, total.rss_kb / 1024.0,
      others);
  return 0;
}
