// Deleting a registered model: its running download is cancelled first, the
// instances on the model are deleted, its folder is removed when it lies
// inside DIR_MODELS, and its entry leaves models.json.
//
// Runs on the calling connection thread and may block it: up to 10 s for a
// download to stop and up to 5 s for each instance that is generating.
#pragma once

#include <string>
#include <vector>

#include "config/data_folders.h"

class MivrelManager;
struct ModelDownloadTable;

// The outcome of removeModel: status 200 on success, else the error reply.
struct ModelRemovalResult {
    int status = 200;
    std::string code;
    std::string message;
};

// Removes model `modelId`:
// 0. An id that breaks the id rule (isValidRegistryId) is 404
//    "model_not_found" "unknown modelId: <id>" before anything is read.
// 1. models.json is loaded (500 "internal_error" with the reason when it
//    cannot be) and the entry found (404 "model_not_found").
// 2. A download of the model that is running is asked to cancel and awaited
//    for at most 10 s.
// 3. Every instance whose modelId equals `modelId` (in its configuration or
//    its properties.json) goes through forceDeleteMivrel; a failure is 500
//    "internal_error" "failed to delete linked Mivrel (<id>): <reason>".
// 4. Under modelsJsonMutex, with models.json loaded afresh: the model folder
//    is removed with its content only when it lies inside DIR_MODELS and no
//    other entry's folder is the same, inside it or around it; a folder
//    elsewhere (a local registration) is the user's and stays, and so does
//    a shared one. A failure is 500 "internal_error" "failed to delete
//    files: ...".
// 5. Still under the lock, the entry is taken out of that models.json and
//    the file replaced; a failure is 500.
// Never throws.
// `mivrels` may be null (no manager): no instance is linked then. The
// download is looked for in `downloads`; DIR_MODELS, DIR_MIVREL and the
// registries are those of `folders`.
ModelRemovalResult removeModel(const DataFolders& folders, MivrelManager* mivrels, ModelDownloadTable& downloads,
                               const std::string& modelId);

// The ids of the registered instances whose modelId equals `modelId`, in the
// manager's order. Reads each instance's properties.json.
std::vector<std::string> instancesOfModel(const DataFolders& folders, const MivrelManager* mivrels,
                                          const std::string& modelId);

// Sets stopRequested and cancelRequested on a running download of
// `modelId` in `downloads` and waits, polling every 100 ms, until its job is no longer
// downloading or verifying, for at most `waitMs`. Returns at once when none
// runs. Takes the download table's mutex only for each look.
void cancelDownloadAndWait(ModelDownloadTable& downloads, const std::string& modelId, int waitMs);
