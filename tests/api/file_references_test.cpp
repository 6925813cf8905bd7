#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "api/file_references.h"
#include "api_test_support.h"

namespace {

using nlohmann::json;

json fileBlock(const std::string& type, const json& file) {
    return {{"type", type}, {"source", {{"type", "file"}, {"file", file}}}};
}

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Runs `call` and returns the FileBlockError it throws (status 0 when none).
template <typename Call>
FileBlockError refusal(Call&& call) {
    try {
        call();
    } catch (const FileBlockError& e) {
        return e;
    }
    return FileBlockError{0, "", ""};
}

void expectRefusal(const FileBlockError& e, int status, const std::string& code, const std::string& message) {
    EXPECT_EQ(e.status, status);
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.message, message);
}

const char* const kKeyRequired = "This mivrel's storage is encrypted; send the Authorization: Bearer key.";
const char* const kKeyMismatch = "The Bearer key does not match the key this mivrel's storage was encrypted with.";

TEST(FileReferencesTest, StripsOnlyALeadingFilesPrefix) {
    const std::pair<std::string, std::string> cases[] = {
        {"files/a.png", "a.png"}, {"a.png", "a.png"},           {"files/", ""},
        {"Files/a.png", "Files/a.png"}, {"x/files/a", "x/files/a"}, {"files/files/a", "files/a"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(stripFilesPrefix(in), out) << in;
}

TEST(FileReferencesTest, ReferenceAndBareNameReachTheSameFile) {
    StoreFixture store;
    store.put("a.png", "PNGDATA");
    FileRefContext context(store.mivrel, "");
    EXPECT_EQ(text(loadImageReference(context, fileBlock("image", "files/a.png"))), "PNGDATA");
    EXPECT_EQ(text(loadImageReference(context, fileBlock("image", "a.png"))), "PNGDATA");
    EXPECT_TRUE(context.opened);
}

TEST(FileReferencesTest, StoreFailuresBecomeBlockErrors) {
    StoreFixture store;
    store.put("a.txt", "x");
    FileRefContext context(store.mivrel, "");
    expectRefusal(refusal([&] { loadFileReference(context, "b.txt", "files/b.txt"); }), 404, "file_not_found",
                  "file not found: files/b.txt");
    expectRefusal(refusal([&] { loadFileReference(context, "", "files/"); }), 400, "bad_request",
                  "invalid file reference: files/");
    expectRefusal(refusal([&] { loadFileReference(context, "../a.txt", "files/../a.txt"); }), 400, "bad_request",
                  "invalid file reference: files/../a.txt");
}

TEST(FileReferencesTest, StoreNeverCreatedGivesNotFoundAndCreatesNothing) {
    StoreFixture store;
    FileRefContext context(store.mivrel, "any-token");
    expectRefusal(refusal([&] { loadFileReference(context, "a.txt", "files/a.txt"); }), 404, "file_not_found",
                  "file not found: files/a.txt");
    EXPECT_TRUE(store.mivrel.fileStore.list().empty());
    EXPECT_FALSE(std::ifstream(store.mivrel.fileStore.path()).good());
}

TEST(FileReferencesTest, EncryptedStoreNeedsTheRightBearerKey) {
    {
        StoreFixture store(true);  // no store file yet
        FileRefContext context(store.mivrel, "");
        expectRefusal(refusal([&] { loadFileReference(context, "a.txt", "a.txt"); }), 401, "storage_key_required",
                      kKeyRequired);
        EXPECT_FALSE(context.opened);
    }
    StoreFixture store(true);
    store.put("a.txt", "secret", "k1");
    {
        FileRefContext context(store.mivrel, "");
        expectRefusal(refusal([&] { loadFileReference(context, "a.txt", "a.txt"); }), 401, "storage_key_required",
                      kKeyRequired);
        EXPECT_FALSE(context.opened);
        // A failed open leaves the context unopened, so a later token is tried.
        context.bearerToken = "k1";
        EXPECT_EQ(text(loadFileReference(context, "a.txt", "a.txt")), "secret");
    }
    FileRefContext wrong(store.mivrel, "k2");
    expectRefusal(refusal([&] { loadFileReference(wrong, "a.txt", "a.txt"); }), 403, "storage_key_mismatch",
                  kKeyMismatch);
}

TEST(FileReferencesTest, MediaBlocksAcceptTheirKindsByExtensionOnly) {
    StoreFixture store;
    for (const char* name : {"a.png", "b.JPG", "c.jpeg", "d.wav", "e.mp3", "f.FLAC", "photo.webp", "noext", "g.txt"}) {
        store.put(name, "bytes");
    }
    struct Case {
        bool image;
        std::string reference;
        std::string refusedWith;  // "" = accepted
    };
    const Case cases[] = {
        {true, "files/a.png", ""},
        {true, "files/b.JPG", ""},
        {true, "c.jpeg", ""},
        {true, "files/photo.webp", "image blocks support PNG and JPEG only: files/photo.webp (image/webp)"},
        {true, "files/noext", "image blocks support PNG and JPEG only: files/noext (application/octet-stream)"},
        {true, "files/d.wav", "image blocks support PNG and JPEG only: files/d.wav (audio/wav)"},
        {true, "files/sub/a.png", "invalid file reference: files/sub/a.png"},
        {true, "files/..\\a.png", "invalid file reference: files/..\\a.png"},
        {true, "", "invalid file reference: "},
        {false, "files/d.wav", ""},
        {false, "e.mp3", ""},
        {false, "files/f.FLAC", ""},
        {false, "files/a.png", "audio blocks support WAV, MP3 and FLAC only: files/a.png (image/png)"},
        {false, "files/g.txt", "audio blocks support WAV, MP3 and FLAC only: files/g.txt (text/plain)"},
        {false, "files/.hidden.wav", "invalid file reference: files/.hidden.wav"},
    };
    FileRefContext context(store.mivrel, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reference);
        const json block = fileBlock(c.image ? "image" : "audio", c.reference);
        const FileBlockError e = refusal([&] {
            const auto bytes = c.image ? loadImageReference(context, block) : loadAudioReference(context, block);
            EXPECT_EQ(text(bytes), "bytes");
        });
        if (c.refusedWith.empty()) {
            EXPECT_EQ(e.status, 0);
        } else {
            expectRefusal(e, 400, "bad_request", c.refusedWith);
        }
    }
}

TEST(FileReferencesTest, NonStringFileIsABadRequest) {
    StoreFixture store;
    FileRefContext context(store.mivrel, "");
    expectRefusal(refusal([&] { loadImageReference(context, fileBlock("image", 42)); }), 400, "bad_request",
                  "invalid file reference: 42");
    expectRefusal(refusal([&] { documentBlockText(context, fileBlock("document", {{"a", 1}})); }), 400,
                  "bad_request", "invalid file reference: {\"a\":1}");
}

TEST(FileReferencesTest, DocumentTextHasHeaderAndFooter) {
    StoreFixture store;
    store.put("plan.txt", "hi");
    store.put("notes.MD", "# t");
    store.put("d.json", "{}");
    store.put("t.csv", "a,b");
    FileRefContext context(store.mivrel, "");
    EXPECT_EQ(documentBlockText(context, fileBlock("document", "files/plan.txt")),
              "[첨부 파일: plan.txt]\nhi\n[첨부 끝]");
    EXPECT_EQ(documentBlockText(context, fileBlock("document", "notes.MD")), "[첨부 파일: notes.MD]\n# t\n[첨부 끝]");
    EXPECT_EQ(documentBlockText(context, fileBlock("document", "files/d.json")), "[첨부 파일: d.json]\n{}\n[첨부 끝]");
    EXPECT_EQ(documentBlockText(context, fileBlock("document", "files/t.csv")), "[첨부 파일: t.csv]\na,b\n[첨부 끝]");
}

TEST(FileReferencesTest, DocumentRefusalsInCheckOrder) {
    StoreFixture store;
    store.put("exact.txt", std::string(kMaxDocumentBytes, 'a'));
    store.put("over.txt", std::string(kMaxDocumentBytes + 1, 'a'));
    store.put("bad.txt", std::string("ok\xff", 3));
    store.put("cut.txt", std::string("\xe2\x82", 2));
    store.put("a.png", "x");
    const std::pair<json, std::string> cases[] = {
        {fileBlock("image", "files/missing.txt"),
         "image blocks are not supported here (use them in /messages with a vision model): files/missing.txt"},
        {fileBlock("audio", "files/../x"),
         "audio blocks are not supported here (use them in /messages with an audio model): files/../x"},
        {fileBlock("document", "files/a/b.txt"), "invalid file reference: files/a/b.txt"},
        {fileBlock("document", "files/a.png"),
         "document blocks support text files only (txt/md/csv/json): files/a.png (image/png)"},
        {fileBlock("document", "files/missing.pdf"),
         "document blocks support text files only (txt/md/csv/json): files/missing.pdf (application/octet-stream)"},
        {fileBlock("document", "files/over.txt"), "document is too large (max 256KB): files/over.txt"},
        {fileBlock("document", "files/bad.txt"), "not UTF-8 text: files/bad.txt"},
        {fileBlock("document", "files/cut.txt"), "not UTF-8 text: files/cut.txt"},
    };
    FileRefContext context(store.mivrel, "");
    for (const auto& [block, message] : cases) {
        SCOPED_TRACE(message);
        expectRefusal(refusal([&] { documentBlockText(context, block); }), 400, "bad_request", message);
    }
    expectRefusal(refusal([&] { documentBlockText(context, fileBlock("document", "files/gone.txt")); }), 404,
                  "file_not_found", "file not found: files/gone.txt");
    EXPECT_EQ(documentBlockText(context, fileBlock("document", "files/exact.txt")).size(),
              kMaxDocumentBytes + std::string("[첨부 파일: exact.txt]\n\n[첨부 끝]").size());
}

TEST(FileReferencesTest, InlinedDocumentTextIsLimitedPerRequest) {
    StoreFixture store;
    store.put("big.txt", std::string(kMaxDocumentBytes, 'a'));
    store.put("one.txt", "b");
    static_assert(kMaxInlinedDocumentBytes == 16 * kMaxDocumentBytes);
    FileRefContext context(store.mivrel, "");
    for (int i = 0; i < 16; ++i) documentBlockText(context, fileBlock("document", "files/big.txt"));
    EXPECT_EQ(context.inlinedDocumentBytes, kMaxInlinedDocumentBytes);
    expectRefusal(refusal([&] { documentBlockText(context, fileBlock("document", "files/one.txt")); }), 400,
                  "bad_request", "documents in one request are too large in total (max 4096KB): files/one.txt");
    // A new request starts from zero.
    FileRefContext next(store.mivrel, "");
    EXPECT_EQ(documentBlockText(next, fileBlock("document", "files/one.txt")), "[첨부 파일: one.txt]\nb\n[첨부 끝]");
}

}  // namespace
