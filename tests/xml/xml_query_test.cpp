#include <gtest/gtest.h>

#include <random>

#include "tests/xml/xml_test_util.h"

namespace {

std::string logged;
void log_line(buffer line) { logged += xml_test_str(line); }

std::string write(const xml_node *n, u32 flag) {
  static u8 mem[1 << 16];
  buffer out = {sizeof mem, 0, mem};
  return xml_test_str(xml_write_node(n, flag, &out));
}

TEST(xml_query, names_children_search_and_attributes) {
  xml_test_doc d;
  xml_test_parse(&d, "<rss v='2'><channel><!--c--><title>T</title>x<item a='1' a='2'/><item/></channel></rss>");
  ASSERT_EQ(d.error, 0u);
  xml_node *rss = xml_find_element(d.parser.top, string_lit("rss"));
  EXPECT_TRUE(xml_is_element(rss, string_lit("rss")));
  EXPECT_FALSE(xml_is_element(nullptr, string_lit("rss")));
  EXPECT_FALSE(xml_is_element(rss, string_lit("rs")));
  EXPECT_EQ(xml_find_element(rss, string_lit("rss")), rss);
  xml_node *channel = xml_first_child_element(rss);
  xml_node *title = xml_first_child_element(channel);
  EXPECT_TRUE(xml_is_element(title, string_lit("title")));
  xml_node *item = xml_next_sibling_element(title);
  EXPECT_EQ(xml_find_element(rss, string_lit("item")), item);
  EXPECT_EQ(xml_next_sibling_element(xml_next_sibling_element(item)), nullptr);
  EXPECT_EQ(xml_find_element(title, string_lit("item")), nullptr);  // only inside the subtree
  xml_node *a = xml_find_attribute(item, string_lit("a"));
  EXPECT_TRUE(xml_is_attribute(a, string_lit("a")));
  EXPECT_EQ(xml_test_str(a->value), "1");
  EXPECT_EQ(xml_find_attribute(item, string_lit("b")), nullptr);
  EXPECT_FALSE(xml_is_attribute(item, string_lit("a")));
}

TEST(xml_query, node_text_skips_and_logs_other_children) {
  xml_test_doc d;
  xml_test_parse(&d, "<p>a<b>x</b><![CDATA[<c>]]>&e;</p>");
  ASSERT_EQ(d.error, 0u);
  logged.clear();
  xml_set_log_function(log_line);
  u8 mem[64] = {'z'};
  buffer out = {sizeof mem, 1, mem};
  buffer t = xml_node_text(xml_test_root(&d), &out);
  xml_set_log_function(nullptr);
  EXPECT_EQ(xml_test_str(t), "a<c>&e;");
  EXPECT_EQ(out.used, 8u);
  EXPECT_EQ(logged, "feed: skipped content node element\n");
}

TEST(xml_query, serialiser_writes_the_documented_form) {
  xml_test_doc d;
  xml_test_parse(&d, "<a x='1'>t<br/><e></e>&lt;&amp;&gt;&foo;<![CDATA[<b>]]><!--c--><?p?></a>");
  ASSERT_EQ(d.error, 0u);
  xml_node *a = xml_test_root(&d);
  EXPECT_EQ(write(a, 1), "<a x=\"1\" >t<br /><e />&lt;&amp;&gt;&foo;<![CDATA[<b>]]></a>");
  EXPECT_EQ(write(a, 0), "t<br /><e />&lt;&amp;&gt;&foo;<![CDATA[<b>]]>");
  xml_test_parse(&d, "<a t='&quot;&lt;&amp;>&apos;'>&lt;img src=&quot;x&quot;&gt;</a>");
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(write(xml_test_root(&d), 1), "<a t=\"&quot;&lt;&amp;>'\" >&lt;img src=\"x\"&gt;</a>");
}

// Random trees of elements, attributes, text with markup characters, CDATA and references:
// writing a tree and parsing what was written gives the same tree.
TEST(xml_query, serialise_then_parse_gives_the_same_tree) {
  std::mt19937 rng(12345);
  const char *pieces[] = {"a", "<", ">", "&", "\"", "'", " ", "\t", "\xC3\xA9", "]]", "x y", "\xE2\x82\xAC", "\r", "\r\n"};
  auto text = [&] {
    std::string s;
    for (int n = 1 + rng() % 6; n > 0; n--) s += pieces[rng() % array_count(pieces)];
    return s;
  };
  auto escape = [](const std::string &s, bool attribute) {
    std::string o;
    for (char ch : s) {
      if (ch == '&') o += "&amp;";
      else if (ch == '<') o += "&lt;";
      else if (ch == '>') o += "&#62;";
      else if (ch == '"' && attribute) o += "&quot;";
      else if (ch == '\t' && attribute) o += "&#9;";
      else if (ch == '\r') o += "&#13;";  // a CR in the tree, not a line end
      else o += ch;
    }
    return o;
  };
  for (int round = 0; round < 300; round++) {
    std::string doc;
    int depth = 0;
    std::vector<std::string> open;
    doc += "<r>";
    for (int step = 0; step < 40; step++) {
      switch (rng() % 6) {
        case 0:
          if (depth < 6) {
            std::string name = std::string(1, "abc"[rng() % 3]);
            doc += "<" + name;
            for (int k = rng() % 3; k > 0; k--) doc += " k" + std::to_string(k) + "=\"" + escape(text(), true) + "\"";
            doc += ">";
            open.push_back(name);
            depth++;
          }
          break;
        case 1:
          if (depth) {
            doc += "</" + open.back() + ">";
            open.pop_back();
            depth--;
          }
          break;
        case 2: doc += escape(text(), false); break;
        case 3: doc += "<![CDATA[" + text().substr(0, 1) + "]]>"; break;
        case 4: doc += "&e" + std::to_string(rng() % 3) + ";"; break;
        default: doc += "<x/>"; break;
      }
    }
    while (!open.empty()) doc += "</" + open.back() + ">", open.pop_back();
    doc += "</r>";
    xml_test_doc d1, d2;
    xml_test_parse(&d1, doc);
    ASSERT_EQ(d1.error, 0u) << doc;
    std::string written = write(xml_test_root(&d1), 1);
    xml_test_parse(&d2, written);
    ASSERT_EQ(d2.error, 0u) << written;
    std::string s1, s2;
    xml_test_dump(xml_test_root(&d1), &s1);
    xml_test_dump(xml_test_root(&d2), &s2);
    // Adjacent text and CDATA may come back as one run only if the writer merged them; it never
    // does, so the trees match node for node.
    ASSERT_EQ(s1, s2) << doc << "\n" << written;
  }
}

TEST(xml_query, deep_trees_are_searched_and_written_without_recursion) {
  const u32 depth = XML_MAX_DEPTH - 1;
  std::string doc;
  for (u32 i = 0; i < depth; i++) doc += "<a>";
  doc += "<z/>";
  for (u32 i = 0; i < depth; i++) doc += "</a>";
  xml_test_doc d;
  xml_test_parse(&d, doc);
  ASSERT_EQ(d.error, 0u);
  EXPECT_TRUE(xml_is_element(xml_find_element(d.parser.top, string_lit("z")), string_lit("z")));
  std::string w = write(xml_test_root(&d), 1);
  EXPECT_EQ(w.size(), depth * 8 + 5);  // "<a >", "</a>" and "<z />"
}

}  // namespace
