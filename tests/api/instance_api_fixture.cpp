#include "instance_api_fixture.h"

namespace instance_api {

Written parseWritten(const std::string& wire) {
    Written written;
    const size_t headEnd = wire.find("\r\n\r\n");
    if (headEnd == std::string::npos) return written;
    written.head = wire.substr(0, headEnd);
    written.status = std::stoi(wire.substr(9, 3));
    const std::string rest = wire.substr(headEnd + 4);
    if (written.head.find("Transfer-Encoding: chunked") == std::string::npos) {
        written.body = rest;
        return written;
    }
    size_t pos = 0;
    for (;;) {
        const size_t lineEnd = rest.find("\r\n", pos);
        if (lineEnd == std::string::npos) break;
        const size_t size = std::stoul(rest.substr(pos, lineEnd - pos), nullptr, 16);
        if (size == 0) break;
        written.body += rest.substr(lineEnd + 2, size);
        pos = lineEnd + 2 + size + 2;
    }
    return written;
}

void InstanceApiTest::SetUp() {
    std::shared_ptr<EngineScript> script = script_;
    services_.mivrels =
        std::make_unique<MivrelManager>([script](const std::string&) -> std::unique_ptr<MivrelEngine> {
            ++script->made;
            return std::make_unique<ScriptedEngine>(script);
        });
    services_.mivrels->setDir(::testing::TempDir());
}

void InstanceApiTest::TearDown() { services_.mivrels.reset(); }

std::shared_ptr<Mivrel> InstanceApiTest::add(const std::string& id, const std::string& familyType) {
    MivrelConfig config;
    config.id = id;
    config.name = "Name " + id;
    config.type = "fake";
    config.familyType = familyType;
    EXPECT_TRUE(services_.mivrels->addMivrel(std::move(config)));
    return services_.mivrels->find(id);
}

void InstanceApiTest::load(const std::shared_ptr<Mivrel>& mivrel) {
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad);
    ASSERT_TRUE(claim);
    claim.ensureEngine();
}

Written InstanceApiTest::call(Handler handler, const std::string& id, const std::string& body,
                              const std::string& query) {
    FakeInput input("");
    FakeOutput output;
    HttpRequestHandler connection("", "", nullptr, &input, &output);
    Request request;
    request.method = "POST";
    request.query = query;
    request.body.assign(body.begin(), body.end());
    Response response;
    handler(services_, connection, request, response, id);
    return parseWritten(output.written);
}

}  // namespace instance_api
