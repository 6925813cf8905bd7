// Content types of stored files, decided by their names' extensions, and the
// reverse mapping used to name uploads. Pure functions, safe for concurrent use.
#pragma once

#include <string>

// The content type of the text after the last "." of `name`, compared in
// lower case: png, jpg/jpeg, webp, wav, mp3, flac, webm, mp4, txt, md, csv,
// json; no "." or any other extension gives "application/octet-stream".
std::string mimeTypeOfFile(const std::string& name);

// The stored-file extension for an upload's content type, or "" when the type
// is not accepted. Parameters after ";" are dropped, blanks removed, the text
// lower-cased and common aliases ("image/jpg", "audio/x-wav", "audio/wave",
// "audio/vnd.wave", "audio/mp3", "audio/x-flac") mapped first.
std::string extensionForMimeType(const std::string& contentType);

// The same mapping under the name the inference API uses.
inline std::string normalizeMimeType(const std::string& contentType) { return extensionForMimeType(contentType); }
