// The body of a model download job: a detached thread that fetches a model's
// files one after the other, continues partial files, skips complete ones,
// checks sizes and digests, and at the end stamps the model as downloaded in
// models.json and writes its properties.json from the catalogue's params.
// A job that does not complete ends through finishAbortedDownload.
//
// Locks: modelsJsonMutex around each load-modify-write of models.json, the
// download table's mutex for each look at or change of the job's entry; the
// two are never held together, and neither across network or disk work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mgmt/model_download_jobs.h"

// One file of a model, in download order.
struct ModelDownloadFile {
    std::string url;     // the catalogue's "dnUrl"
    std::string path;    // the model folder joined with the file name
    std::string role;    // may be empty
    int64_t size = 0;    // expected bytes; 0 when unknown
    std::string sha256;  // expected digest (any letter case); empty: not checked
};

// Runs the job for `modelId`, keeping `downloads` alive while it runs; the
// model's entry is in the models.json of `modelsDir`.
// REQUIRES: the caller stored a fresh entry for the model in the table
// (status "downloading") before the thread started. Every failure ends in a
// final status of the entry; nothing escapes the thread.
void runModelDownloadJob(std::shared_ptr<ModelDownloadTable> downloads, std::string modelsDir, std::string modelId,
                         std::vector<ModelDownloadFile> files, nlohmann::json params);

// The common end of a job that does not complete: deletes `pathsToDelete`
// (failures ignored), clears the model's "downloading" mark in the
// models.json of `modelsDir`
// (a file that cannot be read is left alone), and sets the entry's status
// and errorMessage in `downloads`. Returns false, publishing nothing, only
// when a pause is overtaken by a cancel that came before the status left the
// active ones: the caller then ends the job as cancelled.
bool finishAbortedDownload(ModelDownloadTable& downloads, const std::string& modelsDir, const std::string& modelId,
                           const std::string& status, const std::string& message,
                           const std::vector<std::string>& pathsToDelete);
