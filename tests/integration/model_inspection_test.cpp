// Model inspection on the real brisvanesrv: the model figures and the layer
// tensors of a kit model, before and after the instance loads it.
#include <gtest/gtest.h>

#include <memory>

#include "instance_home.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

class ModelInspection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
        home_->addInstance("looked", "tiny");
        home_->addInstance("idle", "tiny");
        ASSERT_TRUE(home_->start());
    }
    static void TearDownTestSuite() { home_.reset(); }
    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> ModelInspection::home_;

TEST_F(ModelInspection, UnloadedInstance) {
    EXPECT_EQ(bodyJson(home_->get("/mgmt-api/mivrel/idle/modelSpec")), json({{"is_loaded", false}, {"mivrelId", "idle"}}));
    EXPECT_EQ(bodyJson(home_->get("/mgmt-api/mivrel/idle/layerTensors?layer=0")),
              json({{"is_loaded", false}, {"layer", 0}, {"mivrelId", "idle"}, {"tensors", json::array()}}));
    // The layer number is checked before the load state.
    for (const char* query : {"", "?layer=", "?layer=-1", "?layer=abc", "?layer=99999999999", "?x=1"}) {
        const HttpReply reply = home_->get(std::string("/mgmt-api/mivrel/idle/layerTensors") + query);
        EXPECT_EQ(reply.status, 400) << query;
        EXPECT_EQ(bodyJson(reply)["error"]["message"], "layer query parameter (integer >= 0) is required") << query;
    }
    for (const char* target : {"/mgmt-api/mivrel/nobody/modelSpec", "/mgmt-api/mivrel/nobody/layerTensors?layer=0"}) {
        const HttpReply reply = home_->get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(bodyJson(reply)["error"]["code"], "mivrel_not_found") << target;
    }
}

TEST_F(ModelInspection, LoadedKitModel) {
    ASSERT_EQ(home_->post("/mgmt-api/mivrel/looked/start", "").status, 200);
    const HttpReply reply = home_->get("/mgmt-api/mivrel/looked/modelSpec");
    ASSERT_EQ(reply.status, 200);
    const json spec = bodyJson(reply);
    EXPECT_EQ(spec["mivrelId"], "looked");
    EXPECT_EQ(spec["is_loaded"], true);
    EXPECT_EQ(spec["architecture"]["n_layer"], testmodels::kBlockCount);
    EXPECT_EQ(spec["architecture"]["n_embd"], testmodels::kEmbeddingLength);
    EXPECT_EQ(spec["architecture"]["n_head"], testmodels::kHeadCount);
    EXPECT_EQ(spec["architecture"]["n_ctx_train"], testmodels::kTrainedContext);
    EXPECT_EQ(spec["architecture"]["rope_type"], "norm");
    EXPECT_EQ(spec["vocab"]["n_vocab"], testmodels::kVocabSize);
    EXPECT_GT(spec["model"]["n_params"].get<uint64_t>(), 0u);
    EXPECT_EQ(spec["gguf_metadata"]["general.architecture"], "llama");
    ASSERT_EQ(spec["layer_placement"].size(), static_cast<size_t>(testmodels::kBlockCount));
    EXPECT_EQ(spec["layer_placement"][1]["index"], 1);
    EXPECT_TRUE(spec["runtime"].contains("n_gpu_layers_requested"));

    const json tensors = bodyJson(home_->get("/mgmt-api/mivrel/looked/layerTensors?layer=1"));
    EXPECT_EQ(tensors["is_loaded"], true);
    EXPECT_EQ(tensors["layer"], 1);
    ASSERT_EQ(tensors["tensors"].size(), 9u) << tensors.dump();
    for (const json& tensor : tensors["tensors"]) {
        EXPECT_EQ(tensor["name"].get<std::string>().rfind("blk.1.", 0), 0u) << tensor.dump();
        EXPECT_EQ(tensor["shape"].size(), 4u);
        EXPECT_GT(tensor["byte_size"].get<uint64_t>(), 0u);
        EXPECT_TRUE(tensor["host_accessible"].is_boolean());
    }
    // "layer=" is found anywhere, also inside a longer name, and ends at "&".
    for (const char* query : {"x=1&layer=1&y=2", "sublayer=1", "layer=1abc"}) {
        EXPECT_EQ(bodyJson(home_->get(std::string("/mgmt-api/mivrel/looked/layerTensors?") + query))["tensors"],
                  tensors["tensors"])
            << query;
    }
    EXPECT_TRUE(bodyJson(home_->get("/mgmt-api/mivrel/looked/layerTensors?layer=99"))["tensors"].empty());
}

}  // namespace
