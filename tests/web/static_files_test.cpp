// The web application's file server: index pages, the content types, pages
// rendered per connection, folders, the public path, the rendered-page cache,
// and the containment rules (canonical paths compared by component, links
// that leave the web folder refused).
#include <gtest/gtest.h>

#include <any>
#include <filesystem>
#include <memory>
#include <string>

#include "net/fake_peer.h"
#include "net/http_serv.h"
#include "net/net_test_support.h"
#include "net/router.h"
#include "support/temp_dir.h"
#include "web/static_files.h"
#include "web/web_routes.h"

namespace {

namespace fs = std::filesystem;

struct Served {
    int status = 0;
    std::string contentType;
    std::string body;
    std::string error;  // the exception's text
};

class StaticFilesTest : public NetServingTest {
protected:
    void SetUp() override {
        NetServingTest::SetUp();
        web_ = dir_.file("webapp");
        fs::create_directories(web_ + "/app");
        fs::create_directories(web_ + "/assets/sub");
        fs::create_directories(dir_.file("webapp2"));
        writeTextFile(web_ + "/index.html", "<h1>Home <%= APP_VERSION %></h1>");
        writeTextFile(web_ + "/app/index.html", "<% greeting = 'hi' %>app");
        writeTextFile(web_ + "/runtime_status.html", "[<%= greeting %>]<% if DEBUG_CHAT %>debug<% endif %>");
        writeTextFile(web_ + "/assets/main.js", "let a = 1;\r\nlet b = '<%= APP_VERSION %>';\r\n");
        writeTextFile(web_ + "/assets/README", "plain");
        writeTextFile(web_ + "/assets/Page.HTML", "<%= APP_VERSION %>");
        writeTextFile(web_ + "/assets/old.htm", "<%= APP_VERSION %>");
        writeTextFile(dir_.file("webapp2/secret.txt"), "sibling secret");
        writeTextFile(dir_.file("outside.txt"), "outside secret");
        fs::create_symlink(dir_.file("outside.txt"), web_ + "/assets/link-out.txt");
        fs::create_symlink(web_ + "/assets/README", web_ + "/assets/link-in.txt");
        options_.webappFilePath = web_;  // absolute: stands for itself below the working directory
        installWebRoutes(routes_);
    }

    // Calls serveStaticFile directly on a fresh connection; `prepare` sets the
    // page attributes as a real connection has them.
    Served serve(const std::string& path, const std::string& publicPath = "", bool prepare = true,
                 FakePeer* peer = nullptr) {
        FakePeer own("");
        FakePeer& p = peer ? *peer : own;
        NetOptions options = options_;
        options.webappPublicPath = publicPath;
        auto handler = makeHttpRequestHandler(routes_, options, &p, p.getInputStream(), p.getOutputStream());
        if (prepare) prepareWebConnection(*handler);
        return serveWith(*handler, p, path);
    }

    static Served serveWith(HttpRequestHandler& handler, FakePeer& peer, const std::string& path) {
        Request request;
        request.method = "GET";
        request.path = path;
        Response response;
        Served out;
        try {
            serveStaticFile(handler, request, response);
        } catch (const HttpNotFoundException& e) {
            out.status = 404;
            out.error = e.what();
            return out;
        } catch (const HttpForbiddenException& e) {
            out.status = 403;
            out.error = e.what();
            return out;
        } catch (const HttpBadRequestException& e) {
            out.status = 400;
            out.error = e.what();
            return out;
        }
        if (handler.responseSent()) {
            const std::string wire = peer.output().written;
            out.status = std::stoi(wire.substr(9, 3));
            const size_t at = wire.find("Content-Type: ");
            out.contentType = wire.substr(at + 14, wire.find("\r\n", at) - at - 14);
            out.body = bodyOf(wire);
        } else {
            out.status = response.status;
            out.contentType = response.headers["Content-Type"];
            out.body.assign(response.body.begin(), response.body.end());
        }
        return out;
    }

    TempDir dir_;
    std::string web_;
};

struct FileCase {
    const char* path;
    int status;
    const char* contentType;  // or the error text for refusals
    const char* body;
};

TEST_F(StaticFilesTest, PathsMapToFilesInsideTheWebFolder) {
    const FileCase cases[] = {
        {"/", 200, "text/html; charset=utf-8", "<h1>Home 1.0.23</h1>"},
        {"", 200, "text/html; charset=utf-8", "<h1>Home 1.0.23</h1>"},
        {"/index.html", 200, "text/html; charset=utf-8", "<h1>Home 1.0.23</h1>"},
        {"/assets/old.htm", 200, "text/html; charset=utf-8", "1.0.23"},
        {"/assets/main.js", 200, "application/javascript", "let a = 1;\r\nlet b = '<%= APP_VERSION %>';\r\n"},
        {"/assets/README", 200, "application/octet-stream", "plain"},
        {"/assets/Page.HTML", 200, "application/octet-stream", "<%= APP_VERSION %>"},
        {"/assets/sub", 200, "application/octet-stream", ""},
        {"/assets/sub/", 200, "application/octet-stream", ""},
        {"/assets/link-in.txt", 200, "text/plain; charset=utf-8", "plain"},
        {"/assets/./sub/../README", 200, "application/octet-stream", "plain"},
        {"/assets/missing.js", 404, "File not found: /assets/missing.js", ""},
        {"/assets/../../outside.txt", 403, "Access denied: /assets/../../outside.txt", ""},
        {"/assets/../../nothing.txt", 404, "File not found: /assets/../../nothing.txt", ""},
        // The sibling folder "webapp2" begins with the web folder's name.
        {"/assets/../../webapp2/secret.txt", 403, "Access denied: /assets/../../webapp2/secret.txt", ""},
        {"/assets/link-out.txt", 403, "Access denied: /assets/link-out.txt", ""},
    };
    // A NUL cuts the name for the system calls after the containment check.
    for (const std::string& nul : {std::string("/assets/sub/\0../../../outside.txt", 33), std::string("/\0", 2),
                                  std::string("/assets/README\0.html", 20)}) {
        const Served s = serve(nul);
        EXPECT_EQ(s.status, 400) << nul;
        EXPECT_EQ(s.error, "NUL byte in path");
    }
    // An absolute name after the first separator stands for itself.
    const std::string absolute = "/" + dir_.file("outside.txt");
    EXPECT_EQ(serve(absolute).error, "Access denied: " + absolute);
    for (const FileCase& c : cases) {
        const Served s = serve(c.path);
        EXPECT_EQ(s.status, c.status) << c.path;
        if (c.status == 200) {
            EXPECT_EQ(s.contentType, c.contentType) << c.path;
            EXPECT_EQ(s.body, c.body) << c.path;
        } else {
            EXPECT_EQ(s.error, c.contentType) << c.path;
        }
    }
}

TEST_F(StaticFilesTest, ContentTypesFollowTheExactExtension) {
    const std::pair<const char*, const char*> table[] = {
        {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"}, {".css", "text/css"},
        {".js", "application/javascript"},     {".mjs", "application/javascript"},   {".json", "application/json"},
        {".png", "image/png"},                 {".jpg", "image/jpeg"},               {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},                 {".svg", "image/svg+xml"},            {".ico", "image/x-icon"},
        {".woff", "font/woff"},                {".woff2", "font/woff2"},             {".txt", "text/plain; charset=utf-8"},
        {".JS", "application/octet-stream"},   {".gz", "application/octet-stream"},  {"", "application/octet-stream"},
    };
    for (const auto& [extension, type] : table) EXPECT_STREQ(contentTypeForExtension(extension), type) << extension;
}

TEST_F(StaticFilesTest, PublicPathMatchesWholeComponents) {
    const FileCase cases[] = {
        {"/web/assets/README", 200, "application/octet-stream", "plain"},
        {"/web", 200, "text/html; charset=utf-8", "<h1>Home 1.0.23</h1>"},
        {"/web/", 200, "text/html; charset=utf-8", "<h1>Home 1.0.23</h1>"},
        {"/assets/README", 404, "File not found: /assets/README", ""},
        {"/website/assets/README", 404, "File not found: /website/assets/README", ""},
        {"/webassets/README", 404, "File not found: /webassets/README", ""},
    };
    for (const FileCase& c : cases) {
        const Served s = serve(c.path, "/web");
        EXPECT_EQ(s.status, c.status) << c.path;
        if (c.status == 200) {
            EXPECT_EQ(s.body, c.body) << c.path;
        } else {
            EXPECT_EQ(s.error, c.contentType) << c.path;
        }
    }
    // A public path given with its final separator.
    EXPECT_EQ(serve("/web/assets/README", "/web/").body, "plain");
}

TEST_F(StaticFilesTest, PagesNeedTheConnectionAttributes) {
    const Served bare = serve("/index.html", "", /*prepare=*/false);
    EXPECT_EQ(bare.status, 404);
    EXPECT_EQ(bare.error, "bad handler : thereis no sst");
    EXPECT_EQ(serve("/assets/README", "", false).body, "plain");  // other files need none

    FakePeer peer("");
    auto handler = makeHttpRequestHandler(routes_, options_, &peer, peer.getInputStream(), peer.getOutputStream());
    prepareWebConnection(*handler);
    handler->setAttribute("enable_cache", std::string("yes"));
    EXPECT_THROW(serveWith(*handler, peer, "/index.html"), std::bad_any_cast);
}

TEST_F(StaticFilesTest, LargeFilesAreSentInBoundedPieces) {
    std::string big(300 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) & 0xFF);
    writeTextFile(web_ + "/assets/big.bin", big);
    FakePeer peer("");
    const Served s = serve("/assets/big.bin", "", true, &peer);
    EXPECT_EQ(s.status, 200);
    EXPECT_EQ(s.body, big);
    EXPECT_LE(peer.output().largestWrite, 64u * 1024);
    EXPECT_NE(peer.output().written.find("Content-Length: 307200\r\n"), std::string::npos);
}

TEST_F(StaticFilesTest, RenderedPageCacheOnAndOff) {
    writeTextFile(web_ + "/cached.html", "first");
    writeTextFile(web_ + "/fresh.html", "first");
    FakePeer peer("");
    auto handler = makeHttpRequestHandler(routes_, options_, &peer, peer.getInputStream(), peer.getOutputStream());
    prepareWebConnection(*handler);
    handler->setAttribute("enable_cache", true);
    EXPECT_EQ(serveWith(*handler, peer, "/cached.html").body, "first");
    writeTextFile(web_ + "/cached.html", "second");
    EXPECT_EQ(serveWith(*handler, peer, "/cached.html").body, "first");
    // A cached page is answered from the cache even after its file is gone.
    fs::remove(web_ + "/cached.html");
    EXPECT_EQ(serve("/cached.html").status, 404);  // the file check comes first

    // Off, as every connection of the server has it: rendered afresh.
    EXPECT_EQ(serve("/fresh.html").body, "first");
    writeTextFile(web_ + "/fresh.html", "second");
    EXPECT_EQ(serve("/fresh.html").body, "second");
}

// Through the real connection loop: the router's index pages, plain-text
// refusals, and template variables shared by the requests of one connection
// but not with the next connection.
TEST_F(StaticFilesTest, KeepAliveRequestsShareTemplateVariables) {
    const std::string requests =
        "GET /app HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        "GET /runtime_status.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        "GET /assets/../../outside.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    FakePeer first(requests);
    HttpServ(routes_, options_, &first, ConnOrigin::Socket);
    const std::vector<std::string> replies = splitReplies(first.output().written);
    ASSERT_EQ(replies.size(), 3u) << first.output().written;
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 200 OK");
    EXPECT_EQ(bodyOf(replies[0]), "app");
    EXPECT_EQ(bodyOf(replies[1]), "[hi]debug");
    EXPECT_EQ(statusLine(replies[2]), "HTTP/1.1 403 Forbidden");
    EXPECT_NE(bodyOf(replies[2]).find("Access denied: /assets/../../outside.txt"), std::string::npos);

    FakePeer second("GET /runtime_status.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    HttpServ(routes_, options_, &second, ConnOrigin::Socket);
    EXPECT_EQ(bodyOf(second.output().written), "[]debug");
}

// Through the real connection loop: every page and file carries the frame
// policy (rendered pages, the router's index pages, streamed files), and a
// raw NUL in the request path is a 400, not the folder's empty 200.
TEST_F(StaticFilesTest, PagesAndFilesRefuseFramingAndNulPathsAre400) {
    const std::string requests = std::string(
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        "GET /app HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        "GET /assets/main.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        "GET /assets/sub HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        "GET /assets/sub/") + '\0' + "../../../outside.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    FakePeer peer(requests);
    HttpServ(routes_, options_, &peer, ConnOrigin::Socket);
    const std::vector<std::string> replies = splitReplies(peer.output().written);
    ASSERT_EQ(replies.size(), 5u) << peer.output().written;
    for (size_t i = 0; i < 4; ++i) {
        const std::string head = replies[i].substr(0, replies[i].find("\r\n\r\n"));
        EXPECT_EQ(statusLine(replies[i]), "HTTP/1.1 200 OK") << i;
        EXPECT_NE(head.find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"), std::string::npos) << head;
    }
    EXPECT_EQ(statusLine(replies[4]), "HTTP/1.1 400 Bad Request");
}

TEST(PathInsideRoot, ComparesComponents) {
    EXPECT_TRUE(pathInsideRoot("/srv/webapp", "/srv/webapp"));
    EXPECT_TRUE(pathInsideRoot("/srv/webapp/a/b", "/srv/webapp"));
    EXPECT_FALSE(pathInsideRoot("/srv/webapp2/a", "/srv/webapp"));
    EXPECT_FALSE(pathInsideRoot("/srv/web", "/srv/webapp"));
    EXPECT_FALSE(pathInsideRoot("/srv", "/srv/webapp"));
    EXPECT_TRUE(pathInsideRoot("/anything", "/"));
}

}  // namespace
