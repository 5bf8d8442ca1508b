// The update worker: runs the update check and the advert once at start, on its own thread,
// so the window never waits for the web server. It never touches the meter link.
#pragma once

#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/http_client.h"
#include "app/reporter.h"
#include "app/update_check.h"
#include "app/worker.h"

namespace vireo {

class UpdateControl {
 public:
  // state.texts must be loaded before Start and stay unchanged while the check runs.
  UpdateControl(std::unique_ptr<HttpClient> client, std::string baseUrl, AppState& state,
                Reporter& reporter);
  ~UpdateControl();

  // Runs the check once; a second call does nothing.
  void Start();
  bool IsRunning() const { return worker_.IsRunning(); }
  // Waits until a started check has ended.
  void WaitDone() { worker_.WaitIdle(); }
  // Ends a check in progress at once (its fetch fails and reports as such) and ends the
  // worker. Idempotent.
  void Shutdown();

 private:
  std::unique_ptr<HttpClient> client_;
  std::string baseUrl_;
  AppState& state_;
  Reporter& reporter_;
  bool started_ = false;
  Worker worker_;
};

}  // namespace vireo
