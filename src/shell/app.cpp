// The program's entry: options, one running instance, the main loop.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings-file.h"
#include "platform/event-log.h"
#include "platform/problem-log.h"
#include "shell/about-window.h"
#include "shell/glib-warnings.h"
#include "shell/program.h"
#include "shell/settings-messages.h"
#include "shell/window-log.h"

namespace korvath {
namespace {

// From the build, where the desktop entry, icon and metadata take it too.
constexpr const char* kApplicationId = KORVATH_APP_ID;

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

}  // namespace

void Program::Step(const char* step) { desktop_.Log().Record("startup_step", {{"step", std::string(step)}}); }

void Program::BuildMainWindow() {
  MainWindowHandlers handlers{
      .about = [this] { ShowAboutWindow(*main_, desktop_.Log()); },
      .download_manager = [this] { manager_->Toggle(); },
      .moved = [this] { manager_->Dock(); },
      .activated =
          [this] {
            if (manager_->Exists()) manager_->Raise();
          },
      .close_requested = [this] { ShutDown("window_closed"); },
      .request = [this](const Text& url) { requests_->OnRequest(url); },
      .save_app_url =
          [this](const std::string& url) {
            const std::string error = SaveAppUrl(SettingsFilePath(), url);
            if (error.empty()) options_.app_url = url;
            return error;
          },
  };
  main_ = std::make_unique<MainWindow>(app_, *web_engine_, options_.app_url, std::move(handlers));
  main_->HostScriptDialogs(desktop_.Log(), options_.auto_dialogs);
  manager_ = std::make_unique<DownloadManagerHost>(DownloadManagerHostParams{
      .desktop = desktop_,
      .options = options_,
      .session = session_,
      .web_engine = *web_engine_,
      .main = *main_,
      .apply_settings = [this](const Settings& saved, const std::vector<std::string>& changed) {
        return ApplySavedSettings(*this, saved, changed);
      }});
  requests_ = std::make_unique<PageRequestQueue>(
      PageRequestQueueParams{.desktop = desktop_,
                             .options = options_,
                             .session = session_,
                             .main = *main_,
                             .manager = *manager_,
                             .download_dir = [this] { return download_dir_; },
                             .shutting_down = [this] { return shutting_down_; },
                             .shut_down = [this](const char* reason) { ShutDown(reason); }});
}

void Program::OnActivate() {
  if (main_) {
    // A second start of the program lands here.
    main_->Present();
    LogWindow(desktop_.Log(), "main", "raised", main_->OuterRectangle());
    return;
  }
  Step("activate");
  // The installed icon carries the application id as its name, as the
  // desktop entry and the metadata do.
  gtk_window_set_default_icon_name(kApplicationId);
  web_engine_ = std::make_unique<WebEngine>();
  Step("web_engine");
  BuildMainWindow();
  Step("main_window_built");
  g_signal_connect(main_->window(), "map-event", G_CALLBACK(+[](GtkWidget* w, GdkEvent*, gpointer self) {
                     g_signal_handlers_disconnect_by_data(w, self);
                     static_cast<Program*>(self)->Step("main_window_mapped");
                     return FALSE;
                   }),
                   this);
  main_->Show();
  Step("main_window_shown");
  LogWindow(desktop_.Log(), "main", "opened", main_->OuterRectangle());
  if (!StartUp()) {
    // No aria2: the program ends with exit code 0 and no further step.
    g_application_quit(G_APPLICATION(app_));
    return;
  }
  manager_->Ready();
  requests_->Ready();
}

Program::Program(Options options)
    : options_(std::move(options)),
      desktop_({.event_log = options_.event_log, .auto_dialogs = options_.auto_dialogs}),
      session_(desktop_,
               EngineSessionEvents{
                   .notified =
                       [this](std::string_view method, std::string_view) {
                         if (method == "aria2.onDownloadStart" && notifier_) notifier_->DownloadStarted();
                       },
                   .finished_unseen =
                       [this](const std::vector<SessionTask>& finished) { AnnounceFinishedUnseen(finished); },
                   .restarted = [this](const Text& notice) { TellRestarted(notice); },
               }) {
  session_.SetKeptOptions(options_.aria2_options);
}

Program::~Program() {
  requests_.reset();
  manager_.reset();
  main_.reset();
  if (app_) g_object_unref(app_);
}

int Program::Run(std::int64_t entered_ms, const char* program_name) {
  // Warnings and errors as text a user can attach to a report.
  if (const std::string logs = LogDirectory(); !logs.empty()) {
    auto problems = std::make_shared<ProblemLog>(logs, "korvath.log");
    desktop_.Log().KeepProblemsIn(problems);
    ForwardGlibWarnings(problems);
  }
  desktop_.Log().RecordAt(entered_ms, "startup_step", {{"step", std::string("main")}});
  app_ = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  // GtkApplication's own handler, which opens the display, runs first. Only
  // the first instance gets here, so a second start never ends the first's
  // aria2. A signal from here on shuts down in order: the aria2 about to be
  // started must not outlive us.
  g_signal_connect_swapped(app_, "startup", G_CALLBACK(+[](Program* self) {
                             self->Step("gtk_ready");
                             self->InstallSignalHandlers();
                             self->BeginStartUp();
                           }),
                           this);
  g_signal_connect_swapped(app_, "activate", G_CALLBACK(+[](Program* self) { self->OnActivate(); }), this);
  // The options were read before; GApplication sees only the program name.
  char* app_argv[] = {const_cast<char*>(program_name ? program_name : "korvath"), nullptr};
  // Only the start-up failure returns here; shut-down ends the process itself.
  return g_application_run(G_APPLICATION(app_), 1, app_argv);
}

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

  Program program(std::move(options));
  return program.Run(entered_ms, argc > 0 ? argv[0] : nullptr);
}

}  // namespace korvath
