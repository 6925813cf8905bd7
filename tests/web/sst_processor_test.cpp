// The page template processor: the four directive forms with their exact
// matching rules, the order of the passes, variables that outlive a page,
// and the bounds that end self-including pages and self-referring values.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "base/captured_log.h"
#include "support/address_space_cap.h"
#include "support/temp_dir.h"
#include "web/sst_processor.h"

namespace {

namespace fs = std::filesystem;

size_t countOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

class SstTest : public ::testing::Test {
protected:
    SstTest() : sst_(dir_.path()) {}

    std::string render(const std::string& page) {
        writeTextFile(dir_.file("page.html"), page);
        return sst_.process(dir_.file("page.html"));
    }

    TempDir dir_;
    SSTProcessor sst_;
};

struct Case {
    const char* name;
    std::map<std::string, std::string> variables;
    const char* page;
    const char* expected;
};

TEST_F(SstTest, DirectivesRenderAsTheirPatternsSay) {
    ::setenv("SST_TEST_ENV_SET", "from-env", 1);
    ::unsetenv("SST_TEST_ENV_UNSET");
    const Case cases[] = {
        // substitution
        {"spaced substitution", {{"APP_VERSION", "1.0.23"}}, "v<%= APP_VERSION %>", "v1.0.23"},
        {"tight substitution", {{"APP_VERSION", "1.0.23"}}, "<%=APP_VERSION%>", "1.0.23"},
        {"substitution across lines", {{"A", "x"}}, "<%=\n A\t\n%>", "x"},
        {"unknown variable is empty", {}, "[<%= SST_TEST_ENV_UNSET %>]", "[]"},
        {"environment fills in", {}, "<%= SST_TEST_ENV_SET %>", "from-env"},
        {"empty variable hides the environment", {{"SST_TEST_ENV_SET", ""}}, "[<%= SST_TEST_ENV_SET %>]", "[]"},
        {"substitution names are case-sensitive", {{"a", "lower"}}, "[<%= A %>]", "[]"},
        {"value holding a directive is expanded", {{"v", "<%= w %>!"}, {"w", "W"}}, "<%= v %>", "W!"},
        {"values are not escaped", {{"v", "<b>&</b>"}}, "<%= v %>", "<b>&</b>"},
        {"removed directive joins its neighbours into one", {{"v", ""}, {"w", "W"}}, "<<%= v %>%= w %>", "W"},
        {"replacement completes a directive begun before it", {{"v", "%= w %>"}, {"w", "W"}}, "<<%= v %>", "W"},
        // assignment
        {"use before assignment", {}, "<%= title %>|<% title = 'Home' %>", "Home|"},
        {"double quotes", {}, "<% t = \"it's\" %><%= t %>", "it's"},
        {"digits", {}, "<% n = 42 %><%= n %>", "42"},
        {"negative number is no assignment", {}, "<% n = -1 %>", "<% n = -1 %>"},
        {"decimal is no assignment", {}, "<% n = 1.5 %>", "<% n = 1.5 %>"},
        {"unquoted word is no assignment", {}, "<% n = abc %>", "<% n = abc %>"},
        {"name starting with a digit", {}, "<% 1a = 2 %>", "<% 1a = 2 %>"},
        {"quotes must pair", {}, "<% a = 'x\" %>", "<% a = 'x\" %>"},
        {"shortest quoted value that ends the directive", {}, "<% a = 'x' y' %><%= a %>", "x' y"},
        {"shortest value, rest left as text", {}, "<% a = 'x' %>' %><%= a %>", "' %>x"},
        {"line end inside quotes", {}, "<% a = 'x\ny' %>[<%= a %>]", "<% a = 'x\ny' %>[]"},
        {"carriage return inside quotes", {}, "<% a = 'x\ry' %>", "<% a = 'x\ry' %>"},
        {"later assignment wins", {}, "<% a = '1' %><% a = '2' %><%= a %>", "2"},
        {"assignment names are case-sensitive", {}, "<% A = 'big' %>[<%= a %>]", "[]"},
        {"assignment in a dropped section still counts", {}, "<% if nothing_here %><% a = 'set' %><% endif %><%= a %>",
         "set"},
        // conditional
        {"upper-case keywords", {{"DEBUG_CHAT", "1"}}, "<% IF DEBUG_CHAT %>a<% ELSE %>b<% ENDIF %>", "a"},
        {"mixed-case keywords", {{"x", "1"}}, "<%If x%>a<%Else%>b<%EndIf%>", "a"},
        {"false takes the else part", {{"x", ""}}, "<% if x %>a<% else %>b<% endif %>", "b"},
        {"false without else is empty", {}, "[<% if SST_TEST_ENV_UNSET %>a<% endif %>]", "[]"},
        {"empty variable is false despite the environment", {{"SST_TEST_ENV_SET", ""}},
         "<% if SST_TEST_ENV_SET %>a<% else %>b<% endif %>", "b"},
        {"environment makes it true", {}, "<% if SST_TEST_ENV_SET %>a<% else %>b<% endif %>", "a"},
        {"body over lines", {{"x", "1"}}, "<% if x %>\nline1\nline2\n<% endif %>", "\nline1\nline2\n"},
        {"if needs a space before the name", {{"x", "1"}}, "<% ifx %>a<% endif %>", "<% ifx %>a<% endif %>"},
        {"ifs do not nest, both true", {{"x", "1"}, {"y", "1"}},
         "<% if x %>A<% if y %>B<% endif %>C<% endif %>", "ABC"},
        {"ifs do not nest, outer false", {{"x", ""}, {"y", "1"}},
         "<% if x %>A<% if y %>B<% endif %>C<% endif %>", "C<% endif %>"},
        {"if without endif stays", {{"x", "1"}}, "<% if x %>a", "<% if x %>a"},
        {"stray else and endif stay", {}, "<% else %>x<% endif %>", "<% else %>x<% endif %>"},
        {"else after the first endif is not this if's", {{"x", ""}},
         "<% if x %>a<% endif %>b<% else %>c<% endif %>", "b<% else %>c<% endif %>"},
        {"condition uses an assignment of the page", {}, "<% if flag %>on<% else %>off<% endif %><% flag = '1' %>",
         "on"},
        // other directives
        {"unknown directive stays", {}, "<% page %>", "<% page %>"},
        {"include without space before file stays", {}, "<%@ includefile='a' %>", "<%@ includefile='a' %>"},
        {"comment-like directive stays", {}, "<%-- note --%>", "<%-- note --%>"},
    };
    for (const Case& c : cases) {
        SSTProcessor sst(dir_.path());
        for (const auto& [name, value] : c.variables) sst.setVariable(name, value);
        writeTextFile(dir_.file("case.html"), c.page);
        EXPECT_EQ(sst.process(dir_.file("case.html")), c.expected) << c.name;
    }
}

TEST_F(SstTest, IncludesJoinNamesToThePageFolder) {
    fs::create_directories(dir_.file("parts/deeper"));
    writeTextFile(dir_.file("parts/head.inc"), "<h1>head</h1>");
    writeTextFile(dir_.file("parts/nested.inc"), "[<%@ include file='parts/head.inc' %>]");
    writeTextFile(dir_.file("parts/empty.inc"), "");
    writeTextFile(dir_.file("parts/deeper/with space.inc"), "spaced");
    writeTextFile(dir_.file("elsewhere.inc"), "abs");
    const std::string missing = dir_.file("parts/missing.inc");
    const Case cases[] = {
        {"plain", {}, "<%@ include file=\"parts/head.inc\" %>", "<h1>head</h1>"},
        {"tight and upper-case", {}, "<%@INCLUDE FILE='parts/head.inc'%>", "<h1>head</h1>"},
        {"mixed quotes", {}, "<%@ include file=\"parts/head.inc' %>", "<h1>head</h1>"},
        {"name with spaces", {}, "<%@ include file='parts/deeper/with space.inc' %>", "spaced"},
        {"dot-dot segment", {}, "<%@ include file='parts/deeper/../head.inc' %>", "<h1>head</h1>"},
        // Nested includes are relative to the page, not to the including file.
        {"nested", {}, "<%@ include file='parts/nested.inc' %>", "[<h1>head</h1>]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render(c.page), c.expected) << c.name;
    }
    EXPECT_EQ(render("<%@ include file='parts/missing.inc' %>"), "[! include file not found: " + missing + " ]");
    EXPECT_EQ(render("<%@ include file='parts/empty.inc' %>"),
              "[! include file not found: " + dir_.file("parts/empty.inc") + " ]");
    EXPECT_EQ(render("<%@ include file='" + dir_.file("elsewhere.inc") + "' %>"), "abs");
    // A folder cannot be read as a file.
    EXPECT_EQ(render("<%@ include file='parts' %>"), "[! include file not found: " + dir_.file("parts") + " ]");
    // Included text goes through the later passes too.
    writeTextFile(dir_.file("parts/vars.inc"), "<% who = 'inc' %><% if who %><%= who %><% endif %>");
    EXPECT_EQ(render("<%@ include file='parts/vars.inc' %>"), "inc");
}

TEST_F(SstTest, VariablesOutliveThePageAndCopiesAreIndependent) {
    EXPECT_EQ(render("<% seen = 'first' %>"), "");
    EXPECT_EQ(render("<%= seen %>"), "first");
    SSTProcessor copy = sst_;
    copy.setVariable("seen", "copy");
    EXPECT_EQ(render("<%= seen %>"), "first");
    ASSERT_NE(copy.variable("seen"), nullptr);
    EXPECT_EQ(*copy.variable("seen"), "copy");
}

TEST_F(SstTest, PagesAreReadWithLineEndsTranslated) {
    EXPECT_EQ(render("a\r\nb\rc\r\n"), "a\nb\rc\n");
    EXPECT_EQ(sst_.process(dir_.file("no-such-page.html")), "");
    EXPECT_EQ(SSTProcessor::readFile(dir_.path()), "");  // a folder cannot be read
}

// std::regex recurses per character: a page of a few megabytes with a long
// conditional body overflows a thread's stack. The scanner does not.
TEST_F(SstTest, LargePagesRender) {
    const std::string filler(3 * 1024 * 1024, 'x');
    const std::string page = "<% if big %>" + filler + "<% else %>no<% endif %><%= APP_VERSION %>";
    sst_.setVariable("big", "1");
    sst_.setVariable("APP_VERSION", "1.0.23");
    EXPECT_EQ(render(page), filler + "1.0.23");

    std::string many;
    for (int i = 0; i < 5000; ++i) many += "<%= APP_VERSION %>,";
    EXPECT_EQ(countOf(render(many), "1.0.23,"), 5000u);
}

TEST_F(SstTest, ExpansionIsBounded) {
    CapturedLog log;
    // A page that includes itself.
    writeTextFile(dir_.file("self.html"), "x<%@ include file='self.html' %>");
    EXPECT_EQ(sst_.process(dir_.file("self.html")),
              std::string(SSTProcessor::kMaxIncludeDepth + 1, 'x') + "[! include depth limit reached: " +
                  dir_.file("self.html") + " ]");
    EXPECT_TRUE(log.contains("include nested deeper than"));

    // Two files that include each other, each twice: the fan-out is caught
    // by the replacement bound before the depth bound.
    writeTextFile(dir_.file("a.inc"), "a<%@ include file='b.inc' %><%@ include file='b.inc' %>");
    writeTextFile(dir_.file("b.inc"), "b<%@ include file='a.inc' %><%@ include file='a.inc' %>");
    const std::string fan = render("<%@ include file='a.inc' %>");
    EXPECT_NE(fan.find("[! template limit reached: more than 10000 include replacements ]"), std::string::npos);

    // A variable whose value substitutes itself.
    sst_.setVariable("loop", "o<%= loop %>");
    EXPECT_EQ(render("<%= loop %>"), std::string(SSTProcessor::kMaxReplacements, 'o') +
                                         "[! template limit reached: more than 10000 substitution replacements ]");
    EXPECT_TRUE(log.contains("substitution pass stopped after 10000 replacements"));

    // Output beyond the size bound.
    writeTextFile(dir_.file("big.inc"), std::string(SSTProcessor::kMaxOutputBytes / 2 + 1, 'y'));
    const std::string big = render("<%@ include file='big.inc' %><%@ include file='big.inc' %>");
    EXPECT_LE(big.size(), SSTProcessor::kMaxOutputBytes);
    EXPECT_NE(big.find("[! template limit reached: page larger than"), std::string::npos);
    EXPECT_TRUE(log.contains("would exceed"));
}

// Included files are read only as far as the page may still grow, and only
// when they are regular files: a device that never ends, a FIFO without a
// writer, or a file far larger than a page cost neither memory nor a blocked
// thread.
TEST_F(SstTest, IncludedFilesAreReadOnlyToThePageBudget) {
    // A sparse file of 1 GiB: no disk space, but reading it whole would take
    // a gigabyte of memory.
    const std::string huge = dir_.file("huge.inc");
    { std::ofstream(huge).put('h'); }
    fs::resize_file(huge, 1ull << 30);
    ASSERT_EQ(::mkfifo(dir_.file("pipe.inc").c_str(), 0600), 0);

    struct IncludeCase {
        const char* name;
        std::string target;
        std::string expected;  // found in the page
    };
    const IncludeCase cases[] = {
        {"endless device", "/dev/zero", "[! include file not found: /dev/zero ]"},
        {"fifo without writer", dir_.file("pipe.inc"), "[! include file not found: " + dir_.file("pipe.inc") + " ]"},
        {"file beyond the page limit", huge, "[! template limit reached: page larger than"},
    };
    for (const IncludeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string page = "a<%@ include file='" + c.target + "' %>b";
        std::string rendered;
        // Four times the page limit is room for the page and its copies, far
        // below what reading the whole target would take.
        EXPECT_TRUE(runsWithinAddressSpace(4 * SSTProcessor::kMaxOutputBytes + (256u << 20), [&] {
            rendered = render(page);
            if (rendered.find(c.expected) == std::string::npos) ::_exit(3);
            if (rendered.size() > SSTProcessor::kMaxOutputBytes) ::_exit(4);
        }));
    }

    // The limit counts the page around the directive: a file that fits alone
    // but not beside the page is refused too, and read no further than that.
    const std::string half(SSTProcessor::kMaxOutputBytes / 2 + 1, 'p');
    writeTextFile(dir_.file("half.inc"), half);
    const std::string page = render(half + "<%@ include file='half.inc' %>");
    EXPECT_LE(page.size(), SSTProcessor::kMaxOutputBytes);
    EXPECT_NE(page.find("[! template limit reached: page larger than"), std::string::npos);
    EXPECT_EQ(SSTProcessor::readFile(dir_.file("half.inc"), 10), std::string(11, 'p'));
    writeTextFile(dir_.file("crlf.inc"), "a\r\nb\r\nc");
    EXPECT_EQ(SSTProcessor::readFile(dir_.file("crlf.inc"), 3), "a\nb\n");
}

// The destruction message must not land in a service's piped output.
TEST(SstDestruction, MessageGoesToTheLogWhenStdoutIsNoTerminal) {
    CapturedLog log;
    TempDir out;
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    FILE* capture = std::fopen(out.file("stdout").c_str(), "w");
    ::dup2(::fileno(capture), STDOUT_FILENO);
    {
        SSTProcessor sst("/some/web/root");
        SSTProcessor copy = sst;
    }
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::fclose(capture);
    EXPECT_EQ(readTextFile(out.file("stdout")), "");
    EXPECT_EQ(countOf(log.text(), "SSTProcessor destroyed: /some/web/root"), 2u);
    EXPECT_EQ(countOf(log.text(), "SSTProcessor created"), 1u);
}

}  // namespace
