#include "app/update_control.h"

namespace vireo {

UpdateControl::UpdateControl(std::unique_ptr<HttpClient> client, std::string baseUrl,
                             AppState& state, Reporter& reporter)
    : client_(std::move(client)),
      baseUrl_(std::move(baseUrl)),
      state_(state),
      reporter_(reporter),
      worker_([this] { RunUpdateCheck(*client_, baseUrl_, state_.texts, reporter_); }) {}

UpdateControl::~UpdateControl() {
  Shutdown();
}

void UpdateControl::Start() {
  if (started_)
    return;
  started_ = true;
  worker_.RequestRun();
}

void UpdateControl::Shutdown() {
  client_->Cancel();
  worker_.WaitIdle();
  worker_.Stop();
}

}  // namespace vireo
