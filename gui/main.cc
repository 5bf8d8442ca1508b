// vireometer: the desktop program. `--demo` serves an emulated meter inside the program;
// `vireometer FILE.vat` opens a record file on the chart page, `--export-png` renders one;
// `vireometer FILE.db` lists a session store on the sessions page.
// SIGTERM, SIGINT and SIGHUP close the window as its close button does.
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>

#include "gui/demo_meter.h"
#include "gui/main_window.h"
#include "gui/meter_app.h"
#include "pages/chart/chart_export.h"
#include "pages/chart/chart_page.h"
#include "pages/readings/page_tab_ctrl.h"
#include "pages/sessions/sessions_page.h"

namespace {

// A session store is an SQLite file; a record file never starts so.
bool IsSessionStore(const QString& path) {
  QFile file(path);
  return path.endsWith(QStringLiteral(".db"), Qt::CaseInsensitive) ||
         (file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3", 16));
}

constexpr int kStartDelayMs = 300;
constexpr int kStreamSettleMs = 2000;
constexpr int kTabSettleMs = 500;
constexpr int kPerTabMs = 700;
constexpr int kSessionsTab = 4;

// For the screenshot script and the CPU figures: presses START (or Record) once the window is
// up and,
// when a folder is given, saves a picture of the window for each tab, named after the tab and
// `suffix` ("-zh", "-max"), and closes it.
void Automate(vireo::MainWindow& window, bool pressStart, bool record, const QString& shotFolder,
              const QString& suffix) {
  if (record) {
    QTimer::singleShot(kStartDelayMs, &window,
                       [&window] { window.sessionsPage().recordButton().click(); });
  } else if (pressStart || !shotFolder.isEmpty()) {
    QTimer::singleShot(kStartDelayMs, &window, [&window] { window.startButton().click(); });
  }
  if (shotFolder.isEmpty()) {
    return;
  }
  QDir().mkpath(shotFolder);
  static const char* const kNames[] = {"readings", "chart", "firmware", "about", "sessions"};
  const int tabs = window.tabs().pageCount();
  for (int tab = 0; tab < tabs; ++tab) {
    const int at = kStreamSettleMs + tab * kPerTabMs;
    QTimer::singleShot(at, &window,
                       [&window, tab] { window.tabs().tabBar().setCurrentIndex(tab); });
    QTimer::singleShot(at + kTabSettleMs, &window, [&window, tab, shotFolder, suffix] {
      const auto save = [&](const QString& name) {
        QCoreApplication::sendPostedEvents();  // the layouts the last change asked for
        window.grab().save(QStringLiteral("%1/%2%3.png").arg(shotFolder, name, suffix));
      };
      save(QString::fromLatin1(kNames[tab]));
      vireo::SessionPlot& plot = *window.sessionsPage().view().plot();
      if (tab == kSessionsTab && plot.endUs() > 0) {
        // A second and a half three quarters in, down to the samples; then cursors over the
        // middle.
        const int64_t from = plot.endUs() * 3 / 4;
        plot.ShowSpan(from, from + 1'500'000);
        save(QStringLiteral("sessions-samples"));
        plot.Fit();
        plot.PlaceCursors(plot.endUs() * 3 / 10, plot.endUs() * 7 / 10);
        save(QStringLiteral("sessions-cursors"));
      }
    });
  }
  QTimer::singleShot(kStreamSettleMs + tabs * kPerTabMs, &window, &QWidget::close);
}

// The program's options; --help and --version come first.
void DescribeOptions(QCommandLineParser& parser) {
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(
      QStringLiteral("FILE"),
      QStringLiteral("A record file (.vat) to show on the chart page, or a session store (an "
                     "SQLite file, as vireometer-cli record writes) to list on the sessions "
                     "page and record into."),
      QStringLiteral("[FILE.vat|FILE.db]"));
  parser.addOption(
      {QStringLiteral("demo"), QStringLiteral("Serve an emulated meter inside the program.")});
  parser.addOption({QStringLiteral("export-png"),
                    QStringLiteral("Render the chart of FILE.vat as the chart page shows it in "
                                   "Records mode, write it to OUT.png and exit without showing "
                                   "a window."),
                    QStringLiteral("OUT.png")});
  parser.addOption({QStringLiteral("full"), QStringLiteral("With --export-png: the records "
                                                           "stretched across the plot, as with "
                                                           "FULL ticked.")});
  for (const char* hidden : {"press-start", "record", "chart-page", "maximised"}) {
    QCommandLineOption option(QString::fromLatin1(hidden));
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(option);
  }
  QCommandLineOption shotDir(QStringLiteral("screenshot-dir"), QString(), QStringLiteral("dir"));
  shotDir.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(shotDir);
  QCommandLineOption shotSuffix(QStringLiteral("screenshot-suffix"), QString(),
                                QStringLiteral("suffix"));
  shotSuffix.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(shotSuffix);
}

void NameProgram(QCoreApplication& app) {
  app.setApplicationName(QStringLiteral("vireometer"));
  app.setApplicationVersion(QStringLiteral(VIREO_VERSION));
}

// Answers --help and --version without the window's application object, so that they need
// no display; returns when neither was asked for. Qt's own options (-platform X) are unknown to
// the parser here, which does not keep it from seeing these two.
void AnswerHelpOrVersion(int& argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.append(QString::fromLocal8Bit(argv[i]));
  }
  QCommandLineParser parser;
  DescribeOptions(parser);
  parser.parse(arguments);
  const bool version = parser.isSet(QStringLiteral("version"));
  if (!version && !parser.isSet(QStringLiteral("help"))) {
    return;
  }
  QCoreApplication app(argc, argv);
  NameProgram(app);
  if (version) {
    parser.showVersion();
  }
  parser.showHelp(0);
}

// An export shows no window, and --help-all only lists Qt's options: neither needs a display.
void NoWindowNeedsNoDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if ((std::strncmp(argv[i], "--export-png", 12) == 0 ||
         std::strcmp(argv[i], "--help-all") == 0) &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
  }
}

// Qt aborts when its platform needs a display and there is none; tell the user instead. A
// platform chosen by -platform or QT_QPA_PLATFORM other than xcb or wayland needs none.
bool HasDisplay(int argc, char** argv) {
  QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0) {
      platform = argv[i + 1];
    }
  }
  if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland")) {
    return true;
  }
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  AnswerHelpOrVersion(argc, argv);
  NoWindowNeedsNoDisplay(argc, argv);
  if (!HasDisplay(argc, argv)) {
    std::fputs(
        "vireometer: the window needs a display, and neither DISPLAY nor WAYLAND_DISPLAY is "
        "set.\nWithout a display, use the command-line tool: vireometer-cli --help\n",
        stderr);
    return 1;
  }
  vireo::MeterApp app(argc, argv);
  NameProgram(app);

  QCommandLineParser parser;
  DescribeOptions(parser);
  parser.process(app);
  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) {
    std::fprintf(stderr, "vireometer: one record file at a time\n");
    return 2;
  }
  const QString recordFile = files.value(0);

  if (parser.isSet(QStringLiteral("export-png"))) {
    if (recordFile.isEmpty()) {
      std::fprintf(stderr, "vireometer: --export-png needs a record file\n");
      return 2;
    }
    vireo::AppState state;
    vireo::LoadProgramTexts(state.texts, QDir::currentPath().toStdString() + "/");
    const std::string error =
        vireo::ExportChartPng(state, recordFile, parser.value(QStringLiteral("export-png")),
                              parser.isSet(QStringLiteral("full")));
    if (!error.empty()) {
      std::fprintf(stderr, "vireometer: %s: %s\n", recordFile.toLocal8Bit().constData(),
                   error.c_str());
      return 1;
    }
    return 0;
  }

  // Before the demo meter's folder exists, so that a stop signal never leaves it behind.
  app.CloseOnStopSignals();
  // Before the window scans for devices for the first time.
  std::unique_ptr<vireo::DemoMeter> demoMeter;
  if (parser.isSet(QStringLiteral("demo"))) {
    demoMeter = std::make_unique<vireo::DemoMeter>();
  }

  vireo::AppState state;
  return app.Run(state, [&](vireo::MainWindow& window) {
    if (!recordFile.isEmpty() && IsSessionStore(recordFile)) {
      window.OpenSessionStore(recordFile);
    } else if (!recordFile.isEmpty()) {
      vireo::OpenRecordFileAtStart(window, state.texts, recordFile);
    } else if (parser.isSet(QStringLiteral("chart-page"))) {
      window.tabs().tabBar().setCurrentIndex(1);
    }
    if (parser.isSet(QStringLiteral("maximised"))) {
      // Without a window manager (Xvfb) maximising does nothing: the window takes the screen.
      window.setGeometry(window.screen()->availableGeometry());
      window.showMaximized();
    }
    Automate(window, parser.isSet(QStringLiteral("press-start")),
             parser.isSet(QStringLiteral("record")), parser.value(QStringLiteral("screenshot-dir")),
             parser.value(QStringLiteral("screenshot-suffix")));
  });
}
