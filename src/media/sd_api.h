// The C calling convention of the media-generation library: its opaque
// handles, the two callback types and the type of every entry point that
// SdLibrary looks up. The server never links the library; it calls these
// types through the table that SdLibrary fills. The stand-in library
// (media/standin) implements the same declarations.
//
// Contract the server relies on (the library keeps it):
// - handles are opaque pointers; every handle the server creates has one
//   owner that frees it with the matching free entry;
// - a status is a signed 32-bit integer, 0 for success, 10 for a generation
//   that was cancelled; sd_get_last_error tells the last failure's text;
// - texts and names are zero-terminated narrow strings, copied by the
//   library when it keeps them;
// - sd_cancel_generation may be called from another thread while a
//   generation runs; the progress and log callbacks may come from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct sd_opt;     // an option object: context, image or video options
struct sd_tensor;  // an n-dimensional array; dimension 0 varies fastest
struct sd_ctx;     // a loaded model
struct sd_result;  // the images (or frames) and sound of one generation

// The sound of a video result: owned by the result.
struct sd_audio {
    int32_t sample_rate;
    sd_tensor* samples;  // rank 2 (channels, frames) of interleaved 32-bit floats
};

// The element type of 8-bit image tensors (dimensions: channels, width, height).
enum { SD_TENSOR_U8 = 1, SD_TENSOR_F32 = 2 };

// The status of a cancelled generation.
enum { SD_STATUS_OK = 0, SD_STATUS_CANCELLED = 10 };

typedef void (*sd_progress_cb)(int32_t step, int32_t steps, float seconds, void* data);
typedef void (*sd_log_cb)(int32_t level, const char* text, void* data);

typedef const char* (*sd_get_last_error_fn)(void);
typedef sd_opt* (*sd_opt_create_fn)(void);
typedef void (*sd_opt_free_fn)(sd_opt* options);
typedef int32_t (*sd_opt_set_bool_fn)(sd_opt* options, const char* name, bool value);
typedef int32_t (*sd_opt_set_int_fn)(sd_opt* options, const char* name, int64_t value);
typedef int32_t (*sd_opt_set_float_fn)(sd_opt* options, const char* name, double value);
typedef int32_t (*sd_opt_set_string_fn)(sd_opt* options, const char* name, const char* value);
typedef int32_t (*sd_opt_set_tensor_fn)(sd_opt* options, const char* name, sd_tensor* tensor);
typedef int32_t (*sd_opt_set_tensors_fn)(sd_opt* options, const char* name, sd_tensor* const* tensors,
                                         int64_t count);
typedef sd_tensor* (*sd_tensor_create_fn)(int32_t type, int64_t rank, const int64_t* dims, const void* data,
                                          size_t bytes);
typedef void (*sd_tensor_free_fn)(sd_tensor* tensor);
typedef int64_t (*sd_tensor_rank_fn)(const sd_tensor* tensor);
typedef int64_t (*sd_tensor_dim_fn)(const sd_tensor* tensor, int64_t index);
typedef void* (*sd_tensor_data_fn)(const sd_tensor* tensor);
typedef int32_t (*sd_ctx_create_fn)(sd_opt* options, sd_ctx** out);
typedef void (*sd_ctx_free_fn)(sd_ctx* context);
typedef int32_t (*sd_generate_fn)(sd_ctx* context, sd_opt* options, sd_result** out);
typedef bool (*sd_ctx_supports_fn)(sd_ctx* context);
typedef void (*sd_cancel_generation_fn)(sd_ctx* context, int32_t flags);
typedef const char* (*sd_get_model_version_name_fn)(sd_ctx* context);
typedef int64_t (*sd_result_get_image_count_fn)(const sd_result* result);
typedef sd_tensor* (*sd_result_get_image_fn)(const sd_result* result, int64_t index);
typedef const sd_audio* (*sd_result_get_audio_fn)(const sd_result* result);
typedef int32_t (*sd_result_get_fps_fn)(const sd_result* result);
typedef void (*sd_result_free_fn)(sd_result* result);
typedef void (*sd_set_progress_callback_fn)(sd_progress_cb callback, void* data);
typedef void (*sd_set_log_callback_fn)(sd_log_cb callback, void* data);
typedef const char* (*sd_text_fn)(void);

}  // extern "C"
