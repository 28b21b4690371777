// The service's operations as its own parts call them, each with the locks
// it expects named.
#pragma once

#include <locale>
#include <memory>
#include <mutex>
#include <string>

#include "../frontend/Handles.h"
#include "Routing.h"

namespace zvk::detail {

// With apply_mutex held: the bodies of VornService::init and reload.
int init_applying(VornService& service, const char* path);
int reload_applying(VornService& service);
void stop_applying(VornService& service);

// With start_mutex and the service's mutex held: makes `model` the running
// one and applies what it sets: the locale (when `locale` is given and its
// text changed), time zone, log directory, file-size limit and crash flush.
void apply_model(VornService& service, std::shared_ptr<VornConfig> model, const std::locale* locale,
                 Changes& changes);
// `path` from the root, normalised, without a trailing '/': one file or
// directory however it is written ("logs", "./logs", "logs/") and
// wherever the process is when it asks.
std::string absolute_path(const std::string& path);

// With the service's mutex held.
std::string config_value(const VornService& service, const std::string& key);
int apply_file_limit(VornService& service);
void install_locale(const std::locale& loc);

// Chooses the one instance when get_service and init_vorn_service race on
// first use; held across fork.
std::mutex& instance_mutex();
// Guards the texts get_config_value hands out; held across fork.
std::mutex& interned_mutex();
// Registers the stop at process exit; called right after the instance is
// constructed, so that it runs before the destructors of everything
// constructed earlier.
void arm_exit_stop();

}  // namespace zvk::detail
