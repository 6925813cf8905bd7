#include "gguf_file_writer.h"

#include <cstdio>
#include <cstdlib>

namespace kit {

GgufFileWriter::GgufFileWriter() : gguf_(gguf_init_empty()) {
    if (!gguf_) {
        std::fprintf(stderr, "make_test_models: gguf_init_empty failed\n");
        std::abort();
    }
}

void GgufFileWriter::setString(const std::string& key, const std::string& value) {
    gguf_set_val_str(gguf_.get(), key.c_str(), value.c_str());
}

void GgufFileWriter::setU32(const std::string& key, uint32_t value) {
    gguf_set_val_u32(gguf_.get(), key.c_str(), value);
}

void GgufFileWriter::setF32(const std::string& key, float value) {
    gguf_set_val_f32(gguf_.get(), key.c_str(), value);
}

void GgufFileWriter::setBool(const std::string& key, bool value) {
    gguf_set_val_bool(gguf_.get(), key.c_str(), value);
}

void GgufFileWriter::setStringArray(const std::string& key, const std::vector<std::string>& values) {
    std::vector<const char*> pointers;
    pointers.reserve(values.size());
    for (const std::string& v : values) pointers.push_back(v.c_str());
    gguf_set_arr_str(gguf_.get(), key.c_str(), pointers.data(), pointers.size());
}

void GgufFileWriter::setI32Array(const std::string& key, const std::vector<int32_t>& values) {
    gguf_set_arr_data(gguf_.get(), key.c_str(), GGUF_TYPE_INT32, values.data(), values.size());
}

void GgufFileWriter::setF32Array(const std::string& key, const std::vector<float>& values) {
    gguf_set_arr_data(gguf_.get(), key.c_str(), GGUF_TYPE_FLOAT32, values.data(), values.size());
}

void GgufFileWriter::addTensor(const std::string& name, ggml_type type, const std::vector<int64_t>& ne,
                               const std::vector<float>& values) {
    if (type != GGML_TYPE_F32 && type != GGML_TYPE_F16 && type != GGML_TYPE_Q8_0) {
        std::fprintf(stderr, "make_test_models: %s: only F32, F16 and Q8_0 are written\n", name.c_str());
        std::abort();
    }
    if (type == GGML_TYPE_Q8_0 && (ne.empty() || ne[0] % ggml_blck_size(type) != 0)) {
        std::fprintf(stderr, "make_test_models: %s: Q8_0 rows must be a multiple of %lld\n", name.c_str(),
                     static_cast<long long>(ggml_blck_size(type)));
        std::abort();
    }
    if (ne.empty() || ne.size() > 4) {
        std::fprintf(stderr, "make_test_models: %s: 1 to 4 dimensions expected\n", name.c_str());
        std::abort();
    }
    int64_t count = 1;
    for (int64_t n : ne) count *= n;
    if (count != static_cast<int64_t>(values.size())) {
        std::fprintf(stderr, "make_test_models: %s: %lld values for %lld elements\n", name.c_str(),
                     static_cast<long long>(values.size()), static_cast<long long>(count));
        std::abort();
    }

    ggml_init_params params{};
    params.mem_size = ggml_tensor_overhead() + ggml_row_size(type, ne[0]) * static_cast<size_t>(count / ne[0]) + 64;
    params.mem_buffer = nullptr;
    params.no_alloc = false;
    std::unique_ptr<ggml_context, GgmlFree> ctx(ggml_init(params));
    if (!ctx) {
        std::fprintf(stderr, "make_test_models: %s: ggml_init failed\n", name.c_str());
        std::abort();
    }

    ggml_tensor* t = nullptr;
    switch (ne.size()) {
        case 1: t = ggml_new_tensor_1d(ctx.get(), type, ne[0]); break;
        case 2: t = ggml_new_tensor_2d(ctx.get(), type, ne[0], ne[1]); break;
        case 3: t = ggml_new_tensor_3d(ctx.get(), type, ne[0], ne[1], ne[2]); break;
        default: t = ggml_new_tensor_4d(ctx.get(), type, ne[0], ne[1], ne[2], ne[3]); break;
    }
    ggml_set_name(t, name.c_str());
    if (type == GGML_TYPE_F32) {
        float* data = static_cast<float*>(t->data);
        for (int64_t i = 0; i < count; ++i) data[i] = values[static_cast<size_t>(i)];
    } else if (type == GGML_TYPE_F16) {
        ggml_fp32_to_fp16_row(values.data(), static_cast<ggml_fp16_t*>(t->data), count);
    } else {
        ggml_quantize_chunk(type, values.data(), t->data, 0, count / ne[0], ne[0], nullptr);
    }
    gguf_add_tensor(gguf_.get(), t);
    tensorContexts_.push_back(std::move(ctx));
}

bool GgufFileWriter::writeTo(const std::string& path) const {
    const std::string temporary = path + ".partial";
    if (!gguf_write_to_file(gguf_.get(), temporary.c_str(), false)) {
        std::fprintf(stderr, "make_test_models: cannot write %s\n", temporary.c_str());
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::perror(("make_test_models: rename to " + path).c_str());
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace kit
