// Chart paint benchmark, offscreen: three full sample stores, a record set of 352 records and
// every label. Prints the time of one whole paint into the off-screen image (scene and
// drawing), of the scene alone, and of the first paint after loading a set.
// Run: build/bench/chart_bench [paints]
#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "app/app_state.h"
#include "app/reporter.h"
#include "app/sample_store.h"
#include "pages/chart/chart_page.h"

namespace vireo {
namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A day of 352 records, as the emulator holds them.
std::string WriteRecords(const QString& folder) {
  const std::string path = (folder + "/day.vat").toStdString();
  std::ofstream out(path, std::ios::binary);
  out.put(0x05).put(24);
  for (int i = 0; i < 352; ++i) {
    const int mv = 5100 + static_cast<int>(40 * std::sin(i * 0.1));
    const int ma = 900 + static_cast<int>(600 * std::sin(i * 0.05));
    const char record[5] = {static_cast<char>(mv & 0xFF), static_cast<char>(mv >> 8),
                            static_cast<char>(ma & 0xFF), static_cast<char>(ma >> 8),
                            static_cast<char>(25 + i % 7)};
    out.write(record, 5);
  }
  return path;
}

int Run(int paints) {
  AppState state;
  for (int i = 0; i < TextTable::kSlotCount; ++i)
    state.texts.texts[i] = "Text";
  NullReporter reporter;
  ChartPage page(state, reporter);
  for (int i = 0; i < SampleStore::kCapacity; ++i) {
    PushSample(state.VoltageStore, 5.1f + 0.05f * std::sin(i * 0.07f));
    PushSample(state.CurrentStore, 1.0f + 0.5f * std::sin(i * 0.03f));
    PushSample(state.TemperatureStore, 30.0f + 3.0f * std::sin(i * 0.01f));
  }
  ReadingsRecord r;
  r.voltage = 5.1234f;
  r.current = 1.2345f;
  r.power = 6.32f;
  r.dPlus = 0.6f;
  r.dMinus = 0.59f;
  r.tempExternal = 31.5f;
  state.readings.Store(r);
  QTemporaryDir folder;
  const std::string records = WriteRecords(folder.path());
  // Live mode keeps the period label; the record set is loaded beside the live curves.
  ChartView& view = page.view();
  view.SetSamplePeriod(10);

  double t0 = Now();
  view.LoadRecordFile(records);
  const double load = Now() - t0;
  t0 = Now();
  view.Render();
  const double first = Now() - t0;

  QImage image;
  t0 = Now();
  for (int i = 0; i < paints; ++i)
    image = view.Render();
  const double paint = (Now() - t0) / paints;

  std::printf("chart %dx%d, 3 x 460 samples, %u records, all labels\n", image.width(),
              image.height(), view.recordSet() ? view.recordSet()->count : 0);
  std::printf("load of the record file       %8.1f us\n", load * 1e6);
  std::printf("first paint after loading     %8.1f us\n", first * 1e6);
  std::printf("full paint (scene + drawing)  %8.1f us  (mean of %d)\n", paint * 1e6, paints);

  // The same paint in Live mode as it streams: the live curves without a record set.
  view.ReleaseRecordSet();
  t0 = Now();
  for (int i = 0; i < paints; ++i)
    image = view.Render();
  std::printf("paint of the live curves only %8.1f us\n", (Now() - t0) / paints * 1e6);
  ClearStores(state);
  t0 = Now();
  for (int i = 0; i < paints; ++i)
    image = view.Render();
  std::printf("paint of an empty chart       %8.1f us\n", (Now() - t0) / paints * 1e6);
  view.LoadRecordFile(records);

  // The window enlarged: the chart drawn under a scale transform at twice its size.
  view.resize(view.size() * 2);
  QPixmap screen(view.size());
  const int scaledPaints = std::max(1, paints / 10);
  t0 = Now();
  for (int i = 0; i < scaledPaints; ++i)
    view.render(&screen);
  std::printf("paint at twice the size       %8.1f us  (mean of %d)\n",
              (Now() - t0) / scaledPaints * 1e6, scaledPaints);

  ChartInputs inputs;
  inputs.client = view.client();
  std::vector<float> samples(SampleStore::kCapacity, 5.0f);
  inputs.voltage = samples;
  inputs.current = samples;
  inputs.temperature = samples;
  inputs.samplePeriod = 10;
  const RecordCurves curves = BuildRecordCurves(*view.recordSet(), false, view.client());
  inputs.records = &curves;
  inputs.captions = CaptionsFrom("Voltage", "Current", "Temperature");
  ChartScene scene;
  t0 = Now();
  for (int i = 0; i < paints; ++i)
    BuildChartScene(inputs, scene);
  std::printf("scene alone                   %8.1f us\n", (Now() - t0) / paints * 1e6);
  return 0;
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int paints = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  return vireo::Run(paints);
}
