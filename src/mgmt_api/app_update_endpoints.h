// Program updates through the management API: the update check, the start
// and status of a download job, an archive from the local disk, and the
// hand-over of the update to the command-line tool. Each handler runs on the
// connection thread of its request and sends exactly one reply; the
// download itself runs on a detached worker (mgmt/app_update_job.h).
//
// Components name folders: a name that is not 1 to 128 of A-Z, a-z, 0-9,
// ".", "_" and "-" (or is "." or "..") is refused with 400 "bad_request"
// "invalid component: <name>".
#pragma once

#include "net/http_request_handler.h"

struct ServiceContext;

// GET "/mgmt-api/app/updateAvailable?component=": the web service's "data"
// unchanged; 502 "check_update_failed" with its "retdesc" or the failure.
void checkAppUpdate(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response);

// POST "/mgmt-api/app/updateDownload" {"component","targetVersion"}:
// {"success":{"message":"download started"}}. 400 "bad_request" ("invalid
// JSON", "missing targetVersion", "invalid targetVersion: ..."), 409
// "already_downloading" while a job or a local update of the component runs
// (the check and the claim are one step), 502 "manifest_fetch_failed", 502
// "no_download_url".
void handleUpdateDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                          Response& response);

// GET "/mgmt-api/app/updateDownload?component=": the component's record
// ({"component","targetVersion","status","progressPercent",
// "bytesDownloaded","totalBytes","sha256Verified"} and "errorMessage" when
// not empty), or {"status":"none"}.
void handleUpdateDownloadStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                Response& response);

// POST "/mgmt-api/app/updateLocal" {"component","zipPath","sha256"}: checks
// and unpacks the archive on this thread; {"success":{"message":"local
// update applied (work/_update_ready is ready)"}}; 400 "bad_request"
// ("missing zipPath/sha256"), 409 "already_downloading", 400 "apply_failed"
// with the reason.
void handleUpdateLocal(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response);

// POST "/mgmt-api/app/triggerUpdate" {"mode": "full" | "apply"} (an empty
// body means "full"): starts the tool with "app_update" or
// "app_update_step2"; {"success":{"message":"update triggered.","mode"}};
// 400 "bad_request", 500 "internal_error" "failed to trigger brisvane <word>".
void handleTriggerUpdate(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                         Response& response);
