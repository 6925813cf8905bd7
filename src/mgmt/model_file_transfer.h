// One model file fetched over HTTPS into the model folder, continued with a
// byte range when part of it is on disk. Progress and the stop request travel
// through the file's job entry in the download table.
#pragma once

#include <cstdint>
#include <string>

struct ModelDownloadTable;

// The text of the error a transfer throws when its job's stopRequested ended
// it; the job tells pause from cancel by cancelRequested.
inline constexpr char kTransferCancelled[] = "__cancelled__";

// The largest file a transfer writes when the catalogue declares no size.
inline constexpr int64_t kMaxUndeclaredModelFileBytes = 512ll << 30;

// The space a transfer leaves free on the models volume: the configured
// MODELS_FREE_SPACE_RESERVE_MB in bytes.
uint64_t modelsFreeSpaceReserveBytes();

// Fetches `url` into `destination` (its folders are made). With
// `startOffset` above 0 it asks for "Range: bytes=<startOffset>-".
//
// The answer decides what is written, before a byte of the file changes:
// - 206 whose Content-Range starts at startOffset: the body is appended;
// - 200 (the server sends the whole file): the file is rewritten from byte 0
//   (logged when a range was asked for);
// - any other status, a 206 for another offset, a chunked or unreadable
//   answer: std::runtime_error with the status line or the reason, and the
//   file on disk is left as it was.
// A Content-Length bounds the body; a stream that ends before it throws
// "transfer truncated: <name> (<n> of <m> bytes)" with the bytes received
// kept on disk (they are a correct part of the file).
//
// The file never grows past `fileSize` when that is above 0, else past
// kMaxUndeclaredModelFileBytes: an answer that announces more (Content-Length
// or Content-Range) throws before a byte is written, and a body that runs
// on is written up to that size and then throws "파일 크기 불일치: <name>
// (expected=<fileSize> actual=...)" (without a size: "model file larger than
// <n> bytes: <name>"), the part on disk kept for a resume. Before writing,
// and every few MiB while writing, the models volume must keep
// modelsFreeSpaceReserveBytes() free after the bytes still announced;
// otherwise "not enough free space on the models volume for <name>: ...". Network failures and
// time-outs (30 s without data) throw the TLS client's errors.
//
// After every read the job entry of `modelId` in `downloads` gets bytesDownloaded
// (bytesBefore + the file's offset + this call's bytes), progressPercent
// (against totalBytes, else fileSize; at most 100) and speedBytesPerSec; when its
// stopRequested is set the transfer ends with kTransferCancelled within
// about 200 ms, also while the peer sends nothing. The table mutex is held
// only for those updates. Runs on the job's thread.
void downloadModelFile(ModelDownloadTable& downloads, const std::string& url, const std::string& bearerToken,
                       const std::string& destination, const std::string& modelId, int64_t fileSize,
                       int64_t startOffset, int64_t bytesBefore, int64_t totalBytes);
