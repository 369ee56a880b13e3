// The run: configuration checks, the batch over the request directory and the
// pipeline for one request file.
#pragma once

#include <string>
#include <vector>

#include "quillmere/gitlab_client.h"
#include "quillmere/settings.h"

namespace quillmere {

/// The request files of `dir`: the names ending in ".yaml", in the order the
/// directory yields them. Failures name the directory as `shown_as`.
std::vector<std::string> list_request_files(const std::string& dir, const std::string& shown_as);

/// Refuses a run with missing required settings, missing paths or CA
/// bundles that cannot be used; logs the key settings.
void validate_config(const Settings& settings);

/// Onboards one request file (a bare name inside the request directory).
void process_single_file(const Settings& settings, RemoteContext& remote, const std::string& file);

/// The whole batch: start checks, every request file in turn, the summary.
void process_yaml_files(const Settings& settings, RemoteContext& remote);

}  // namespace quillmere
