// Tokens, their positions in bytes, number forms and every lexical message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "../support/abort_message.h"
#include "qasm/lexer.h"
#include "text.h"

namespace vorn::qasm {
namespace {

using test::cat;

// "Name@line:col" per token, the last one Eof.
std::vector<std::string> lex(std::string_view text) {
  Result<TokenList> tokens = tokenize(text);
  EXPECT_TRUE(tokens.ok()) << (tokens.ok() ? "" : tokens.error().render());
  std::vector<std::string> out;
  if (tokens.ok()) {
    for (const Token& t : tokens.value()) {
      out.push_back(token_name(t) + "@" + std::to_string(t.line) + ":" + std::to_string(t.col));
    }
  }
  return out;
}

std::string lex_failure(std::string_view text) {
  Result<TokenList> tokens = tokenize(text);
  if (tokens.ok()) {
    return "accepted";
  }
  EXPECT_EQ(tokens.error().kind, QasmErrorKind::Lex);
  return tokens.error().render();
}

double single_real(std::string_view text) {
  Result<TokenList> tokens = tokenize(text);
  EXPECT_TRUE(tokens.ok());
  EXPECT_EQ(tokens.value().size(), 2u);
  EXPECT_EQ(tokens.value()[0].kind, TokenKind::Real);
  return tokens.value()[0].real_value;
}

using V = std::vector<std::string>;

TEST(LexerPositions, HeaderTokens) {
  EXPECT_EQ(lex("OPENQASM 2.0;"),
            (V{"Openqasm@1:1", "Real(2.0)@1:10", "Semicolon@1:13", "Eof@1:14"}));
}

TEST(LexerPositions, EmptyTextAndLoneComment) {
  EXPECT_EQ(lex(""), (V{"Eof@1:1"}));
  EXPECT_EQ(lex("// comment"), (V{"Eof@1:11"}));
  EXPECT_EQ(lex("// comment\n"), (V{"Eof@2:1"}));
}

TEST(LexerPositions, TabsFormFeedsAndCrLf) {
  EXPECT_EQ(lex("\tx\f\ry\r\nz"),
            (V{"Ident(\"x\")@1:2", "Ident(\"y\")@1:5", "Ident(\"z\")@2:1", "Eof@2:2"}));
}

TEST(LexerPositions, CommentColumnsCountBytes) {
  // Three ASCII bytes and the two bytes of é: the line feed is at column 6.
  EXPECT_EQ(lex("// \xC3\xA9 x"), (V{"Eof@1:8"}));
  EXPECT_EQ(lex("a // \xC3\xA9\nb"), (V{"Ident(\"a\")@1:1", "Ident(\"b\")@2:1", "Eof@2:2"}));
  // Any byte may stand in a comment.
  EXPECT_EQ(lex(std::string_view("//\xFF\x00$\nq", 7)), (V{"Ident(\"q\")@2:1", "Eof@2:2"}));
}

TEST(LexerPositions, StringColumnsIncludeBothQuotes) {
  EXPECT_EQ(lex("include \"qelib1.inc\";"),
            (V{"Include@1:1", "Str(\"qelib1.inc\")@1:9", "Semicolon@1:21", "Eof@1:22"}));
  EXPECT_EQ(lex("\"\xC3\xA9\" x"), (V{"Str(\"\xC3\xA9\")@1:1", "Ident(\"x\")@1:6", "Eof@1:7"}));
}

TEST(LexerKinds, EveryKeywordAndItsName) {
  const char* text =
      "OPENQASM include qreg creg gate opaque barrier measure reset if qubit bit else for while "
      "box def sin cos tan exp ln sqrt pi";
  Result<TokenList> tokens = tokenize(text);
  ASSERT_TRUE(tokens.ok());
  ASSERT_EQ(tokens.value().size(), 25u);
  for (int k = 0; k < 24; ++k) {
    EXPECT_EQ(static_cast<int>(tokens.value()[k].kind), k);
  }
  EXPECT_EQ(token_name(tokens.value()[15]), "Box_");
  EXPECT_EQ(token_kind_name(TokenKind::Eof), "Eof");
}

// keyword_text is the lexer's table read backwards: every keyword spells the text it was read
// from, and a kind that is not a keyword aborts instead of naming some keyword.
TEST(LexerKinds, KeywordTextSpellsEveryKeyword) {
  for (const char* word :
       {"OPENQASM", "include", "qreg",  "creg", "gate", "opaque", "barrier", "measure",
        "reset",    "if",      "qubit", "bit",  "else", "for",    "while",   "box",
        "def",      "sin",     "cos",   "tan",  "exp",  "ln",     "sqrt",    "pi"}) {
    Result<TokenList> tokens = tokenize(word);
    ASSERT_TRUE(tokens.ok());
    EXPECT_EQ(keyword_text(tokens.value()[0].kind), word);
  }
  for (const TokenKind kind :
       {TokenKind::Ident, TokenKind::Int, TokenKind::Semicolon, TokenKind::Arrow, TokenKind::Eof}) {
    EXPECT_EQ(vorn::test::abort_message([kind] { (void)keyword_text(kind); }),
              cat({"qasm: token kind ", token_kind_name(kind), " has no keyword spelling"}));
  }
}

TEST(LexerKinds, KeywordsAreCaseSensitive) {
  EXPECT_EQ(lex("openqasm Include U CX qreg2 _x"),
            (V{"Ident(\"openqasm\")@1:1", "Ident(\"Include\")@1:10", "Ident(\"U\")@1:18",
               "Ident(\"CX\")@1:20", "Ident(\"qreg2\")@1:23", "Ident(\"_x\")@1:29", "Eof@1:31"}));
}

TEST(LexerKinds, Punctuation) {
  EXPECT_EQ(
      lex("()[]{},;:+-*/^->===="),
      (V{"LParen@1:1", "RParen@1:2", "LBracket@1:3", "RBracket@1:4", "LBrace@1:5", "RBrace@1:6",
         "Comma@1:7", "Semicolon@1:8", "Colon@1:9", "Plus@1:10", "Minus@1:11", "Star@1:12",
         "Slash@1:13", "Caret@1:14", "Arrow@1:15", "EqEq@1:17", "EqEq@1:19", "Eof@1:21"}));
  EXPECT_EQ(lex("==="), (V{"EqEq@1:1", "Eq@1:3", "Eof@1:4"}));
}

TEST(LexerKinds, NoBlockComments) {
  EXPECT_EQ(lex("/* x */"),
            (V{"Slash@1:1", "Star@1:2", "Ident(\"x\")@1:4", "Star@1:6", "Slash@1:7", "Eof@1:8"}));
}

TEST(LexerNumbers, Forms) {
  EXPECT_EQ(lex("2 2.0 2. .5 1e3 1E+3 1.5e-3"),
            (V{"Int(2)@1:1", "Real(2.0)@1:3", "Real(2.0)@1:7", "Real(0.5)@1:10",
               "Real(1000.0)@1:13", "Real(1000.0)@1:17", "Real(0.0015)@1:22", "Eof@1:28"}));
}

TEST(LexerNumbers, ScanningStopsAtTheSecondPointOrExponent) {
  EXPECT_EQ(lex("1.2.3"), (V{"Real(1.2)@1:1", "Real(0.3)@1:4", "Eof@1:6"}));
  EXPECT_EQ(lex("1e5e3"), (V{"Real(100000.0)@1:1", "Ident(\"e3\")@1:4", "Eof@1:6"}));
  EXPECT_EQ(lex("1e5.5"), (V{"Real(100000.0)@1:1", "Real(0.5)@1:4", "Eof@1:6"}));
  EXPECT_EQ(lex("2x"), (V{"Int(2)@1:1", "Ident(\"x\")@1:2", "Eof@1:3"}));
  EXPECT_EQ(lex("-2"), (V{"Minus@1:1", "Int(2)@1:2", "Eof@1:3"}));
  EXPECT_EQ(lex("007"), (V{"Int(7)@1:1", "Eof@1:4"}));
}

TEST(LexerNumbers, IntegerRange) {
  EXPECT_EQ(lex("9223372036854775807"), (V{"Int(9223372036854775807)@1:1", "Eof@1:20"}));
  EXPECT_EQ(lex_failure("x 9223372036854775808"),
            "qasm lex error at line 1:3: invalid integer \"9223372036854775808\": number too "
            "large to fit in target type");
  EXPECT_EQ(lex_failure("99999999999999999999999999"),
            "qasm lex error at line 1:1: invalid integer \"99999999999999999999999999\": "
            "number too large to fit in target type");
}

TEST(LexerNumbers, MalformedReals) {
  EXPECT_EQ(lex_failure("1e"),
            "qasm lex error at line 1:1: invalid real \"1e\": invalid float "
            "literal");
  EXPECT_EQ(lex_failure("\n  1e+;"),
            "qasm lex error at line 2:3: invalid real \"1e+\": invalid float literal");
  EXPECT_EQ(lex_failure(".5E-"),
            "qasm lex error at line 1:1: invalid real \".5E-\": invalid float literal");
}

TEST(LexerNumbers, RealsAreCorrectlyRounded) {
  // Halfway cases and long inputs where naive conversion goes wrong.
  EXPECT_EQ(single_real("0.1"), 0.1);
  EXPECT_EQ(single_real("9007199254740993.0"), 9007199254740992.0);
  EXPECT_EQ(single_real("2.2250738585072011e-308"), 2.2250738585072011e-308);
  // Exactly halfway between 1 and the next double: ties to even. A digit more rounds up.
  EXPECT_EQ(single_real("1.00000000000000011102230246251565404236316680908203125"), 1.0);
  EXPECT_EQ(single_real("1.000000000000000111022302462515654042363166809082031251"),
            1.0000000000000002);
  EXPECT_EQ(single_real("4.9e-324"), std::numeric_limits<double>::denorm_min());
  const double pi = single_real("3.14159265358979323846264338327950288");
  const double expected = 3.141592653589793;
  EXPECT_EQ(std::memcmp(&pi, &expected, sizeof pi), 0);
}

TEST(LexerNumbers, RealsBeyondTheDoubleRange) {
  EXPECT_EQ(single_real("1e999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(single_real("1.5e99999999999999999999999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(single_real("0.0000000001e-999"), 0.0);
  EXPECT_EQ(single_real("1e-400"), 0.0);
  EXPECT_EQ(single_real("0e99999"), 0.0);
  // Huge mantissa with a small exponent is still huge; tiny mantissa with a large one is not.
  EXPECT_EQ(single_real(std::string(400, '9') + ".0"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(single_real("0." + std::string(400, '0') + "1e400"), 0.1);
}

TEST(LexerStrings, NoEscapes) {
  Result<TokenList> tokens = tokenize(R"("a\" b)");
  ASSERT_TRUE(tokens.ok());
  EXPECT_EQ(tokens.value()[0].text, "a\\");
  EXPECT_EQ(token_name(tokens.value()[0]), R"(Str("a\\"))");
  EXPECT_EQ(token_name(tokens.value()[1]), R"(Ident("b"))");
}

TEST(LexerStrings, Unterminated) {
  EXPECT_EQ(lex_failure("x;\n  include \"foo\n\";"),
            "qasm lex error at line 2:11: unterminated string literal");
  EXPECT_EQ(lex_failure("include \"foo"),
            "qasm lex error at line 1:9: unterminated string literal at EOF");
  EXPECT_EQ(lex_failure("include \""),
            "qasm lex error at line 1:9: unterminated string literal at EOF");
}

TEST(LexerStrings, InvalidUtf8IsDescribed) {
  const auto utf8 = [](std::string_view s) { return lex_failure(cat({"\"", s, "\""})); };
  const std::string prefix = "qasm lex error at line 1:1: non-utf8 string: ";
  EXPECT_EQ(utf8("ab\xFF"), prefix + "invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(utf8("\x80"), prefix + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(utf8("\xC0\x80"), prefix + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(utf8("\xE2\x82x"), prefix + "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(utf8("\xE0\x80\x80"), prefix + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(utf8("\xED\xA0\x80"), prefix + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(utf8("\xF0\x9F\x98x"), prefix + "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(utf8("\xF4\x90\x80\x80"), prefix + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(utf8("\xF5"), prefix + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(utf8("a\xE2\x82"), prefix + "incomplete utf-8 byte sequence from index 1");
  EXPECT_EQ(utf8("\xF0\x9F\x98"), prefix + "incomplete utf-8 byte sequence from index 0");
  EXPECT_EQ(utf8("\xC3"), prefix + "incomplete utf-8 byte sequence from index 0");
  EXPECT_EQ(lex("\"\xF0\x9F\x98\x80\""), (V{"Str(\"\xF0\x9F\x98\x80\")@1:1", "Eof@1:7"}));
}

TEST(LexerErrors, UnexpectedCharacters) {
  const auto message = [](std::string_view text) { return lex_failure(text); };
  EXPECT_EQ(message("x $"), "qasm lex error at line 1:3: unexpected character '$'");
  EXPECT_EQ(message("#"), "qasm lex error at line 1:1: unexpected character '#'");
  EXPECT_EQ(message("!"), "qasm lex error at line 1:1: unexpected character '!'");
  EXPECT_EQ(message("<"), "qasm lex error at line 1:1: unexpected character '<'");
  EXPECT_EQ(message("'"), R"(qasm lex error at line 1:1: unexpected character '\'')");
  EXPECT_EQ(message("a.b"), "qasm lex error at line 1:2: unexpected character '.'");
  EXPECT_EQ(message("- >"), "qasm lex error at line 1:3: unexpected character '>'");
  EXPECT_EQ(message("\x7F"), R"(qasm lex error at line 1:1: unexpected character '\u{7f}')");
  EXPECT_EQ(message("\t\xC3\xA9"), "qasm lex error at line 1:2: unexpected character '\xC3\x83'");
  EXPECT_EQ(message(std::string_view("\0", 1)),
            R"(qasm lex error at line 1:1: unexpected character '\0')");
}

// The dynamic mode reads names in any script, as whole UTF-8 sequences; what the writer takes
// for a name is what the lexer reads as one.
TEST(LexerNames, OtherScriptsInTheDynamicMode) {
  Result<TokenList> tokens = tokenize("\xCE\xB8 a\xF0\x9D\x91\x9F;", ReaderMode::Dynamic);
  ASSERT_TRUE(tokens.ok()) << tokens.error().render();
  EXPECT_EQ(token_name(tokens.value()[0]), "Ident(\"\xCE\xB8\")");
  EXPECT_EQ(token_name(tokens.value()[1]), "Ident(\"a\xF0\x9D\x91\x9F\")");
  const auto failure = [](std::string_view text) {
    Result<TokenList> t = tokenize(text, ReaderMode::Dynamic);
    return t.ok() ? std::string("accepted") : t.error().render();
  };
  EXPECT_EQ(failure("x;\n  c1\xC5\xF5;"),
            "qasm lex error at line 2:3: non-utf8 name: invalid utf-8 sequence of 1 bytes from "
            "index 2");
  EXPECT_EQ(failure("\xFF"),
            "qasm lex error at line 1:1: non-utf8 name: invalid utf-8 sequence of 1 bytes from "
            "index 0");
  EXPECT_EQ(
      failure("a\xE2\x82"),
      "qasm lex error at line 1:1: non-utf8 name: incomplete utf-8 byte sequence from index 1");
  for (const std::string_view name : {"\xCE\xB8", "a\xF0\x9D\x91\x9F", "\xCF\x80x", "_1"}) {
    EXPECT_TRUE(is_identifier(name, ReaderMode::Dynamic)) << name;
    EXPECT_FALSE(is_identifier(name, ReaderMode::Specified) && name[0] != '_') << name;
  }
  for (const std::string_view name :
       {"\xCF\x80", "\xCF\x84", "\xE2\x84\x87", "c1\xC5\xF5", "1a", "true", "a-b", ""}) {
    EXPECT_FALSE(is_identifier(name, ReaderMode::Dynamic)) << name;
  }
}

TEST(LexerErrors, LateErrorWinsOverEarlierSyntaxTrouble) {
  EXPECT_EQ(lex_failure("OPENQASM 2.0; h(( q;\n\n  @"),
            "qasm lex error at line 3:3: unexpected character '@'");
}

TEST(RealText, ShortestRoundTripWithPointOrExponent) {
  EXPECT_EQ(real_text(2.0), "2.0");
  EXPECT_EQ(real_text(0.5), "0.5");
  EXPECT_EQ(real_text(0.0), "0.0");
  EXPECT_EQ(real_text(-0.0), "-0.0");
  EXPECT_EQ(real_text(0.1), "0.1");
  EXPECT_EQ(real_text(0.0001), "0.0001");
  EXPECT_EQ(real_text(1e-5), "1e-5");
  EXPECT_EQ(real_text(1.5e-7), "1.5e-7");
  EXPECT_EQ(real_text(1e16), "1e16");
  EXPECT_EQ(real_text(1.2345e20), "1.2345e20");
  EXPECT_EQ(real_text(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(real_text(1e300), "1e300");
  EXPECT_EQ(real_text(5e-324), "5e-324");
  EXPECT_EQ(real_text(3.141592653589793), "3.141592653589793");
  EXPECT_EQ(real_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(real_text(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(real_text(std::nan("")), "NaN");
}

TEST(TokenName, PayloadForms) {
  Token ident(TokenKind::Ident, 1, 1);
  ident.text = "q";
  EXPECT_EQ(token_name(ident), "Ident(\"q\")");
  Token integer(TokenKind::Int, 1, 1);
  integer.int_value = 5;
  EXPECT_EQ(token_name(integer), "Int(5)");
  Token str(TokenKind::Str, 1, 1);
  str.text = "tab\there";
  EXPECT_EQ(token_name(str), R"(Str("tab\there"))");
  EXPECT_EQ(token_name(Token(TokenKind::Semicolon, 1, 1)), "Semicolon");
}

}  // namespace
}  // namespace vorn::qasm
