// Rendering of every error kind, and the quoted and character forms with their escapes.
#include <gtest/gtest.h>

#include <string>

#include "qasm/error.h"
#include "text.h"

namespace vorn::qasm {
namespace {

TEST(QasmErrorRender, EveryKindHasItsTemplate) {
  EXPECT_EQ(lex_error("unterminated string literal", 4, 9).render(),
            "qasm lex error at line 4:9: unterminated string literal");
  EXPECT_EQ(parse_error("expected ';', got Qreg", 2, 1).render(),
            "qasm parse error at line 2:1: expected ';', got Qreg");
  EXPECT_EQ(lower_error("qasm gate 'rx' at line 3:1 expected 1 parameters, got 0").render(),
            "qasm lower error: qasm gate 'rx' at line 3:1 expected 1 parameters, got 0");
  EXPECT_EQ(unsupported_error("OpenQASM 3.0 'for' (dynamic circuits) at line 3:1", "v0.5").render(),
            "qasm unsupported feature: OpenQASM 3.0 'for' (dynamic circuits) at line 3:1 "
            "(planned for v0.5)");
  EXPECT_EQ(unknown_gate_error("foo", 5, 3).render(), "qasm unknown gate 'foo' at line 5:3");
  EXPECT_EQ(gate_arity_error("rx", 1, 2, 1, 2).render(),
            "qasm gate 'rx' at line 1:2 expected 1 qubits, got 2");
  EXPECT_EQ(qubit_out_of_range_error(2, 2).render(),
            "qasm qubit index 2 out of range (n_qubits=2)");
  EXPECT_EQ(cbit_out_of_range_error(5, 2).render(), "qasm cbit index 5 out of range (n_cbits=2)");
  EXPECT_EQ(recursion_limit_error("loop", 16).render(),
            "qasm gate 'loop' inline expansion exceeded recursion limit 16");
}

TEST(QasmErrorRender, NamesAreInsertedUnescapedAndNumbersInFull) {
  EXPECT_EQ(unknown_gate_error("a'b\"", 18446744073709551615u, 1).render(),
            "qasm unknown gate 'a'b\"' at line 18446744073709551615:1");
}

TEST(QasmErrorRender, KindNamesFollowTheirOrder) {
  const char* names[] = {"Lex",           "Parse",     "Lower",           "Unsupported",
                         "UnknownGate",   "GateArity", "QubitOutOfRange", "CbitOutOfRange",
                         "RecursionLimit"};
  for (int k = 0; k < 9; ++k) {
    EXPECT_EQ(test::kind_name(static_cast<QasmErrorKind>(k)), names[k]);
  }
}

TEST(Quoted, PlainAsciiIsWrappedInDoubleQuotes) {
  EXPECT_EQ(quoted("q"), "\"q\"");
  EXPECT_EQ(quoted(""), "\"\"");
  EXPECT_EQ(quoted("qelib1.inc"), "\"qelib1.inc\"");
}

TEST(Quoted, EscapesQuoteBackslashAndControls) {
  EXPECT_EQ(quoted("a\"b"), R"("a\"b")");
  EXPECT_EQ(quoted("dir\\lib.inc"), R"("dir\\lib.inc")");
  EXPECT_EQ(quoted("it's"), "\"it's\"");
  EXPECT_EQ(quoted("\t\r\n"), R"("\t\r\n")");
  EXPECT_EQ(quoted(std::string("a\0b", 3)), R"("a\0b")");
  EXPECT_EQ(quoted("\x01\x1f\x7f"), R"("\u{1}\u{1f}\u{7f}")");
  // U+0085 and U+009F are C1 controls.
  EXPECT_EQ(quoted("\xC2\x85\xC2\x9F"), R"("\u{85}\u{9f}")");
}

TEST(Quoted, KeepsPrintableNonAsciiAndEscapesTheRest) {
  EXPECT_EQ(quoted("é 漢 😀"), "\"é 漢 😀\"");
  // Soft hyphen (Cf), no-break space (Zs), line separator (Zl), an unassigned code point
  // (U+0378), a private-use character (U+E000) and a BOM (Cf).
  EXPECT_EQ(quoted("\xC2\xAD"), R"("\u{ad}")");
  EXPECT_EQ(quoted("\xC2\xA0"), R"("\u{a0}")");
  EXPECT_EQ(quoted("\xE2\x80\xA8"), R"("\u{2028}")");
  EXPECT_EQ(quoted("\xCD\xB8"), R"("\u{378}")");
  EXPECT_EQ(quoted("\xEE\x80\x80"), R"("\u{e000}")");
  EXPECT_EQ(quoted("\xEF\xBB\xBF"), R"("\u{feff}")");
  EXPECT_EQ(quoted("\xF3\xA0\x80\x81"), R"("\u{e0001}")");
}

TEST(Quoted, BytesOutsideUtf8BecomeTheReplacementCharacter) {
  EXPECT_EQ(quoted("a\xFF"
                   "b"),
            "\"a\xEF\xBF\xBD"
            "b\"");
  EXPECT_EQ(quoted("\xE2\x82"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

TEST(CharForm, UsesSingleQuotesAndEscapesTheSingleQuote) {
  EXPECT_EQ(char_form('$'), "'$'");
  EXPECT_EQ(char_form('#'), "'#'");
  EXPECT_EQ(char_form('\''), R"('\'')");
  EXPECT_EQ(char_form('"'), "'\"'");
  EXPECT_EQ(char_form('\\'), R"('\\')");
  EXPECT_EQ(char_form(0x7F), R"('\u{7f}')");
  EXPECT_EQ(char_form(0), R"('\0')");
  EXPECT_EQ(char_form('\t'), R"('\t')");
  EXPECT_EQ(char_form(0x1B), R"('\u{1b}')");
}

TEST(CharForm, HighBytesAreTakenAsLatin1CodePoints) {
  EXPECT_EQ(char_form(0xC3), "'\xC3\x83'");  // U+00C3, not the start of a UTF-8 sequence
  EXPECT_EQ(char_form(0xE9), "'\xC3\xA9'");
  EXPECT_EQ(char_form(0x80), R"('\u{80}')");
  EXPECT_EQ(char_form(0xA0), R"('\u{a0}')");
  EXPECT_EQ(char_form(0xAD), R"('\u{ad}')");
  EXPECT_EQ(char_form(0xFF), "'\xC3\xBF'");
}

TEST(IsPrintable, FollowsTheUnicodeCategories) {
  EXPECT_TRUE(is_printable(U' '));
  EXPECT_TRUE(is_printable(U'~'));
  EXPECT_FALSE(is_printable(0x7F));
  EXPECT_FALSE(is_printable(0x3000));  // ideographic space, Zs
  EXPECT_FALSE(is_printable(0xD800));  // surrogate
  EXPECT_FALSE(is_printable(0x200B));  // zero width space, Cf
  EXPECT_TRUE(is_printable(0x0301));   // combining acute accent, Mn
  EXPECT_TRUE(is_printable(0x1F600));
  EXPECT_FALSE(is_printable(0x10FFFF));
  EXPECT_FALSE(is_printable(0x110000));
}

}  // namespace
}  // namespace vorn::qasm
