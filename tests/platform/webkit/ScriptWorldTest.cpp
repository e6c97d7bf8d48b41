#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/webkit/HTMLDocument.h"
#include "platform/webkit/ScriptWorld.h"

using plat::webkit::ScriptWorld;

TEST(ScriptWorld, NativeFailuresBecomeScriptErrorsAndTheWorldGoesOn) {
  ScriptWorld world;
  int calls = 0;
  world.defineNative("explode", [&](const std::vector<std::string>& args) -> std::optional<std::string> {
    ++calls;
    throw std::runtime_error("native says " + (args.empty() ? std::string() : args[0]));
  });
  world.defineNative("echo", [](const std::vector<std::string>& args) -> std::optional<std::string> {
    std::string out;
    for (auto& a : args) out += "[" + a + "]";
    return out;
  });
  world.evaluate("var N = __native;", "setup");
  auto r = world.evaluate("try { N.explode('x'); 'no' } catch (e) { e.message }", "t");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.json, "\"native says x\"");
  r = world.evaluate("N.explode(1)", "t");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("native says 1"), std::string::npos);
  r = world.evaluate("N.echo('a', 2.5, true, null, {})", "t");
  EXPECT_EQ(r.json, "\"[a][2.5][true][][]\"");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(world.depth(), 0);
}

TEST(ScriptWorld, CallsResolveDottedPathsAndSurviveHostilePages) {
  ScriptWorld world;
  world.evaluate("var api = {add: function (a, b) { return {sum: a.n + b}; }};", "setup");
  auto r = world.call("api.add", {"{\"n\":2}", "3"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.json, "{\"sum\":5}");
  EXPECT_FALSE(world.call("api.missing", {}).ok);
  EXPECT_FALSE(world.call("api.add", {"{not json"}).ok);
  world.evaluate("Object.defineProperty(this, 'trap', {get: function () { throw new Error('no'); }});", "t");
  EXPECT_FALSE(world.call("trap.x", {}).ok);
  // Syntax errors, deep recursion and results that cannot be converted are reported.
  EXPECT_FALSE(world.evaluate("function (", "t").ok);
  EXPECT_FALSE(world.evaluate("(function f() { return 1 + f(); })()", "t").ok);
  auto cyclic = world.evaluate("var o = {}; o.o = o; o", "t");
  EXPECT_TRUE(cyclic.ok);
  EXPECT_TRUE(cyclic.undefinedResult);
  EXPECT_EQ(world.depth(), 0);
}

TEST(ScriptWorld, StrictScriptsDeclareGlobalsForLaterScripts) {
  ScriptWorld world;
  auto r = world.evaluate("'use strict'; var game = {level: 3}; function start() { return game.level; } 7",
                          "game.js");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.json, "7");  // the completion value still comes back
  r = world.evaluate("start() + (typeof game)", "next.js");
  EXPECT_EQ(r.json, "\"3object\"");
}

TEST(ScriptWorld, TextsLeaveAsUTF8WithCharactersOutsideTheBMP) {
  ScriptWorld world;
  auto r = world.evaluate("'\\ud83d\\ude00' + '\\ud800x'", "t");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.json, "\"\xf0\x9f\x98\x80\xef\xbf\xbdx\"");
  r = world.call("String", {plat::webkit::jsonQuote("\xf0\x9f\x98\x80")});
  EXPECT_EQ(r.json, "\"\xf0\x9f\x98\x80\"");
  EXPECT_EQ(world.evaluate("'\\ud83d\\ude00'.length", "t").json, "2");
}

TEST(HTMLDocument, ScriptsTitleAndJSONQuoting) {
  auto doc = plat::webkit::parseHTMLDocument(
      "<!doctype html><title>\n T  </title><script>a()</script><script type='text/template'>x</script>"
      "<script src='b.js'></script><!-- c --><p id=p>\xe2\x80\xa8</p>");
  ASSERT_EQ(doc.scripts.size(), 2u);
  EXPECT_EQ(doc.scripts[0].source, "a()");
  EXPECT_TRUE(doc.scripts[1].external);
  EXPECT_EQ(doc.scripts[1].src, "b.js");
  EXPECT_EQ(doc.title, "T");
  EXPECT_NE(doc.treeJSON.find("\\u2028"), std::string::npos);
  EXPECT_EQ(plat::webkit::jsonQuote("a\"\\\n\x01\xff"), "\"a\\\"\\\\\\n\\u0001\\u00ff\"");
  EXPECT_EQ(plat::webkit::jsonQuote("\xf0\x9f\x98\x80"), "\"\\ud83d\\ude00\"");
}
