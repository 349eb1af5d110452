// Broken UTF-8 as the input stream reads it: one U+FFFD per maximal subpart, as the web's decoder
// gives, with one column for each code point, through consume and look-ahead alike.
#include <gtest/gtest.h>

#include "html_test_support.h"
#include "tests/encoding/utf8_model.h"

namespace {

TEST(html_input_stream, broken_utf8_reads_as_one_replacement_per_maximal_subpart) {
  for (const std::vector<u8> &broken : utf8_broken_inputs()) {
    std::vector<u8> in = {'a', 'b'};
    in.insert(in.end(), broken.begin(), broken.end());
    std::vector<u32> want = utf8_model(in);
    hp_stream s;
    hp_stream_init(&s, in.data(), in.size(), 0);
    s.encoding = encoding_utf_8;
    std::vector<u32> got, ahead;
    int e = 0;
    hp_lookahead_begin(&s);
    for (u32 c = hp_lookahead_consume(&s, &e); !e; c = hp_lookahead_consume(&s, &e)) ahead.push_back(c);
    e = 0;
    for (u32 c = hp_consume(&s, &e); !e; c = hp_consume(&s, &e)) got.push_back(c);
    EXPECT_EQ(e, html_tokenizer_error_eof);
    EXPECT_EQ(got, want) << utf8_model_hex(in);
    EXPECT_EQ(ahead, want) << utf8_model_hex(in);
    EXPECT_EQ(s.current.column, want.size()) << utf8_model_hex(in);
  }
}

}  // namespace
