// The program's entry: options, one running instance, the main loop.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/event-log.h"
#include "platform/problem-log.h"
#include "shell/glib-warnings.h"
#include "shell/settings-file.h"
#include "shell/settings-messages.h"
#include "shell/shell.h"

namespace korvath {
namespace {

// From the build, where the desktop entry, icon and metadata take it too.
constexpr const char* kApplicationId = KORVATH_APP_ID;

void BuildMainWindow(Shell& shell) {
  Shell* s = &shell;
  MainWindowHandlers handlers{
      .about = [s] { ShowAboutWindow(*s); },
      .download_manager = [s] { ToggleDownloadManager(*s); },
      .moved =
          [s] {
            if (s->ManagerExists()) DockDownloadManager(*s);
          },
      .activated =
          [s] {
            if (s->ManagerExists()) RaiseDownloadManager(*s);
          },
      .close_requested = [s] { ShutDown(*s, "window_closed"); },
      .request = [s](const Text& url) { OnPageRequest(*s, url); },
      .save_app_url =
          [s](const std::string& url) {
            const std::string error = SaveAppUrl(SettingsFilePath(), url);
            if (error.empty()) s->options.app_url = url;
            return error;
          },
  };
  shell.main =
      std::make_unique<MainWindow>(shell.app, *shell.web_engine, shell.options.app_url, std::move(handlers));
  shell.main->HostScriptDialogs(shell.desktop.Log(), shell.options.auto_dialogs);
}

// What to tell someone who started Korvath where there is no X display: an
// SSH session, a text console, or Wayland without XWayland. GTK itself only
// says "cannot open display", which does not say what to do.
std::string NoDisplayMessage() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool display_set = display && display[0];
  const bool on_wayland = wayland && wayland[0];
  const std::string display_zh =
      display_set ? std::string("DISPLAY=") + display + " 无法连接" : "没有设置 DISPLAY";
  const std::string display_en =
      display_set ? std::string("DISPLAY=") + display + " cannot be reached" : "DISPLAY is not set";
  std::string text =
      std::string(reinterpret_cast<const char*>(u8"korvath：无法打开图形界面（")) + display_zh +
      reinterpret_cast<const char*>(
          u8"）。Korvath 需要 X11 显示：请在桌面会话中启动，或把 DISPLAY 设为可用的 X 显示（如 :0）");
  text += on_wayland ? reinterpret_cast<const char*>(u8"；这是 Wayland 会话，请安装并启用 XWayland。\n")
                     : reinterpret_cast<const char*>(u8"；在 Wayland 下需要 XWayland。\n");
  text += "korvath: cannot open a display (" + display_en +
          "). Korvath needs an X11 display: start it in a desktop session, or set DISPLAY to a working X "
          "display (such as :0)";
  text += on_wayland ? "; this is a Wayland session, so install and enable XWayland.\n"
                     : "; under Wayland it needs XWayland.\n";
  return text;
}

void Step(Shell& shell, const char* step) {
  shell.desktop.Log().Record("startup_step", {{"step", std::string(step)}});
}

void OnActivate(GtkApplication*, gpointer data) {
  auto& shell = *static_cast<Shell*>(data);
  if (shell.main) {
    // A second start of the program lands here.
    shell.main->Present();
    shell.LogWindow("main", "raised", shell.main->OuterRectangle());
    return;
  }
  Step(shell, "activate");
  // The installed icon carries the application id as its name, as the
  // desktop entry and the metadata do.
  gtk_window_set_default_icon_name(kApplicationId);
  shell.web_engine = std::make_unique<WebEngine>();
  Step(shell, "web_engine");
  BuildMainWindow(shell);
  Step(shell, "main_window_built");
  g_signal_connect(shell.main->window(), "map-event", G_CALLBACK(+[](GtkWidget* w, GdkEvent*, gpointer data) {
                     g_signal_handlers_disconnect_by_data(w, data);
                     Step(*static_cast<Shell*>(data), "main_window_mapped");
                     return FALSE;
                   }),
                   &shell);
  shell.main->Show();
  Step(shell, "main_window_shown");
  shell.LogWindow("main", "opened", shell.main->OuterRectangle());
  if (!StartUp(shell)) {
    // No aria2: the program ends with exit code 0 and no further step.
    g_application_quit(G_APPLICATION(shell.app));
    return;
  }
  AnswerWaitingRequests(shell);
}

}  // namespace

int RunKorvath(int argc, char** argv) {
  // Start-up is logged from here on, so its time can be broken down.
  const std::int64_t entered_ms = MonotonicMs();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options = ParseOptions(args);
  if (!options.error.empty()) {
    std::fprintf(stderr, "korvath: %s\n\n%s", options.error.c_str(), HelpText().c_str());
    return 2;
  }
  if (options.show_help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (options.show_version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  const std::string settings_path = SettingsFilePath();
  LoadedSettings settings = LoadSettingsFile(settings_path);
  ApplySettings(options, settings.settings);
  options.settings_message = SettingsProblemMessage(settings_path, settings.problems);

  // Window positions only work on X11; under Wayland GDK's X11 backend
  // (XWayland) keeps them.
  gdk_set_allowed_backends("x11");
  WebEngine::PrepareEnvironment();
  // GtkApplication would end the process with GTK's own terse line; asked
  // first, we can say what is missing. GTK keeps the display it opened here.
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fputs(NoDisplayMessage().c_str(), stderr);
    return 1;
  }

  Shell shell(std::move(options));
  // Warnings and errors as text a user can attach to a report.
  if (const std::string logs = LogDirectory(); !logs.empty()) {
    auto problems = std::make_shared<ProblemLog>(logs, "korvath.log");
    shell.desktop.Log().KeepProblemsIn(problems);
    ForwardGlibWarnings(problems);
  }
  shell.desktop.Log().RecordAt(entered_ms, "startup_step", {{"step", std::string("main")}});
  shell.app = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  // GtkApplication's own handler, which opens the display, runs first. Only
  // the first instance gets here, so a second start never ends the first's
  // aria2. A signal from here on shuts down in order: the aria2 about to be
  // started must not outlive us.
  g_signal_connect_swapped(shell.app, "startup", G_CALLBACK(+[](Shell* s) {
                             Step(*s, "gtk_ready");
                             InstallSignalHandlers(*s);
                             BeginStartUp(*s);
                           }),
                           &shell);
  g_signal_connect(shell.app, "activate", G_CALLBACK(OnActivate), &shell);
  // The options were read above; GApplication sees only the program name.
  char* app_argv[] = {argc > 0 ? argv[0] : const_cast<char*>("korvath"), nullptr};
  int status = g_application_run(G_APPLICATION(shell.app), 1, app_argv);
  // Only the start-up failure returns here; shut-down ends the process itself.
  shell.manager.reset();
  shell.main.reset();
  g_object_unref(shell.app);
  return status;
}

}  // namespace korvath
