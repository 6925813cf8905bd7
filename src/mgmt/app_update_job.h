// The server's side of a program update after the request was accepted: the
// archive transfer with progress, the digest check, the unpacking and the
// publication of the unpacked tree as the component's ready folder; and the
// same unpacking for an archive that already lies on the local disk.
//
// Paths are those of mgmt/app_update_jobs.h, relative to the working
// directory. A failure in the transfer, the digest or the unpacking leaves
// the component's previous ready folder untouched.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mgmt/app_update_jobs.h"
#include "mgmt/zip_unpack.h"

// The largest archive a download accepts, whatever the manifest or the
// answer announce.
inline constexpr int64_t kMaxUpdateArchiveBytes = 4ll << 30;

// Fetches `zipUrl` into `archivePath` (folders made, file truncated) over
// the server's verified TLS client. Only a 200 answer is written; a
// Content-Length or an `expectedSize` above 0 bounds the body and must be
// met exactly ("archive size mismatch: ..."); an announced length above
// kMaxUpdateArchiveBytes fails before a byte is written, and a body beyond
// it fails ("archive larger than <n> bytes: <name> ..."). After every read of at most 64 KiB the
// component's record in `updates` gets bytesDownloaded and progressPercent.
// Throws the TLS client's connection errors, "download of <name> failed:
// <status line>", "failed to open file: <path>" and file-system errors. Runs
// on the job's thread.
void downloadUpdateFile(AppUpdateTable& updates, const std::string& zipUrl, const std::string& archivePath,
                        const std::string& component, int64_t expectedSize);

// The worker of one download: transfer, digest, unpacking, publication;
// the record ends "ready" or "failed", and a failed job deletes its
// archive. A manifest without a digest is accepted as the web service's
// choice, logged at level 2 and shown as sha256Verified false. Nothing
// escapes the thread; `updates` is kept alive while it runs. REQUIRES: the
// caller made the component's record with beginAppUpdateJob.
void runAppUpdateJob(std::shared_ptr<AppUpdateTable> updates, std::string component, std::string targetVersion,
                     std::string zipUrl, std::string zipSha256, int64_t zipSize);

// Checks the archive at `zipPath` against `sha256` (exact text) and unpacks
// and publishes it like a download; the archive stays where it is. Returns
// the ready folder. Throws std::runtime_error with the reason ("zip file not
// found: ", "SHA256 mismatch (expected=... actual=...)", the unpacking's
// refusals). Runs on the caller's thread.
std::string applyLocalAppUpdate(const std::string& component, const std::string& zipPath, const std::string& sha256);

// Unpacks `archivePath` into the component's unpacking folder (removed
// first) and moves the result over the component's ready folder. Returns
// the ready folder. The ready folder changes only after the unpacking has
// succeeded.
std::string unpackAndPublish(const std::string& component, const std::string& archivePath,
                             const UnpackLimits& limits = UnpackLimits());
