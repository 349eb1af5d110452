// Tree construction in strict and lenient modes, display text, the node queries, and the
// traversal against a model over random trees.
#include <gtest/gtest.h>

#include <random>

#include "html_test_support.h"
#include "platform/log.h"

namespace {

struct tree_case {
  const char *input;
  const char *picture;
  int error;
};

void check_tree(const tree_case &c, int lenient) {
  hp_test_parse p;
  p.run(c.input, hp_option_input_is_utf8, lenient);
  ASSERT_EQ(p.token_error, 0) << c.input;
  EXPECT_EQ(p.tree_error, c.error) << c.input;
  EXPECT_EQ(hp_test_tree_picture(p.tree), c.picture) << c.input;
}

TEST(html_tree, lenient_mode_drops_what_it_cannot_accept) {
  tree_case cases[] = {
      {"", "()", 0},
      {"<center>x</center>", "(\"x\")", 0},
      {"<P>x</P>", "(p(\"x\"))", 0},  // names are lower-cased by the tokenizer
      {"<div>a<blink>b</blink>c</div>", "(div(\"a\"\"b\"\"c\"))", 0},
      {"<p>a</span>b</p>", "(p(\"a\"\"b\"))", 0},
      {"<div><p>x</div>after", "(div(p(\"x\"))\"after\")", 0},
      // A stray end tag closes down to its element, so a link cannot swallow the rest.
      {"<a><b>x</a> rest", "(a(b(\"x\"))\" rest\")", 0},
      {"<p><span>x</p>y", "(p(span(\"x\"))\"y\")", 0},
      {"<div>x", "(div(\"x\"))", 0},
      {"</div>x", "(\"x\")", 0},
      {"<div/>x", "(div\"x\")", 0},
      {"<br>x<img src=a>y", "(br\"x\"img\"y\")", 0},
      {"<![CDATA[]]>x<![CDATA[ y ]]>", "(\"x\"\" y \")", 0},
      {"<!DOCTYPE html><!-- c -->x", "(\"x\")", 0},
  };
  for (const auto &c : cases) check_tree(c, 1);
}

TEST(html_tree, strict_mode_stops_at_the_first_error) {
  tree_case cases[] = {
      {"<center>x</center>", "()", html_tree_construction_error_element_invalid_start_name},
      {"<p>x</center>", "(p(\"x\"))", html_tree_construction_error_element_invalid_end_name},
      {"<p><span>x</p>", "(p(span(\"x\")))", html_tree_construction_error_element_unexpected_end},
      {"</p>", "()", html_tree_construction_error_element_unexpected_end},
      {"<div>x<p>y</p>", "(div(\"x\"p(\"y\")))", html_tree_construction_error_unclosed_tags},
      {"<div bogus=1>x</div>", "()", html_tree_construction_error_attribute_invalid_name},
      {"<div href=1>x</div>", "()", html_tree_construction_error_attribute_not_allowed_in_element},
      {"<div class=a class=b>x</div>", "()", html_tree_construction_error_attribute_name_already_present},
      {"<div><p>x</p></div>", "(div(p(\"x\")))", 0},
  };
  for (const auto &c : cases) check_tree(c, 0);
}

TEST(html_tree, attributes_in_lenient_mode) {
  hp_test_parse p;
  p.run("<div onclick=\"f()\" href=\"x\" class=a class=b id=main bogus>t</div><a href=\"u\" HREF=v>l</a>",
        hp_option_input_is_utf8, 1);
  ASSERT_EQ(p.tree_error, 0);
  html_node *div = hp_node_get_child(&p.tree.nodes[0], 0);
  ASSERT_TRUE(hp_node_is_element(div, 35));
  EXPECT_EQ(div->element.attribute_count, 3);
  const html_node_attribute *onclick = hp_node_find_attribute(div, 21);
  ASSERT_TRUE(onclick);
  EXPECT_EQ(std::string((char *)onclick->value.data, onclick->value.used), "f()");
  const html_node_attribute *cls = hp_node_find_attribute(div, 2);
  ASSERT_TRUE(cls);
  EXPECT_EQ(std::string((char *)cls->value.data, cls->value.used), "a");
  EXPECT_FALSE(hp_node_find_attribute(div, html_attribute_href));
  EXPECT_EQ(hp_find_element_by_id(&p.tree, string_lit("main")), div);
  EXPECT_EQ(hp_find_element_by_id(&p.tree, string_lit("none")), nullptr);
  html_node *a = hp_node_get_child(&p.tree.nodes[0], 1);
  ASSERT_TRUE(hp_node_is_element(a, html_tag_a));
  EXPECT_EQ(a->element.attribute_count, 1);
  u64 start = 0;
  EXPECT_EQ(hp_find_element_by_attribute(&p.tree, html_attribute_href, string_lit("u"), &start), a);
  EXPECT_EQ(&p.tree.nodes[start], a);
  start++;
  EXPECT_EQ(hp_find_element_by_attribute(&p.tree, html_attribute_href, string_lit("u"), &start), nullptr);
  EXPECT_EQ(hp_find_element_by_tag(&p.tree, html_tag_a, nullptr), a);
  start = 0;
  EXPECT_EQ(hp_find_element_by_tag(&p.tree, 35, &start), div);
  EXPECT_EQ(start, 1u);
  EXPECT_EQ(hp_find_element_by_tag(nullptr, 35, nullptr), nullptr);
  EXPECT_TRUE(hp_node_is_text(hp_node_get_child(div, 0)));
  EXPECT_EQ(hp_node_get_text(div), nullptr);
  EXPECT_EQ(hp_node_get_child(div, 1), nullptr);
  EXPECT_EQ(hp_node_get_child(nullptr, 0), nullptr);
  EXPECT_EQ(hp_node_find_attribute(nullptr, 2), nullptr);
}

TEST(html_tree, display_text_collapses_whitespace) {
  tree_case cases[] = {
      {"a  \nb", "(\"a b\")", 0},
      {"<div>  \n x </div>", "(div(\"x \"))", 0},
      {"<p>a</p>\n  <p>b</p>", "(p(\"a\")\" \"p(\"b\"))", 0},
      {"<b>x</b> <i>y</i>", "(b(\"x\")\" \"i(\"y\"))", 0},
      {"x<br>  y", "(\"x\"br\"y\")", 0},
      {"<pre>\n  a\n\n b </pre> c  d", "(pre(\"  a\n\n b \")\"c d\")", 0},
      {"<pre>\r\nx</pre>", "(pre(\"x\"))", 0},
      {"<pre>\rx</pre>", "(pre(\"x\"))", 0},
      {"<pre>\n\nx</pre>", "(pre(\"\nx\"))", 0},
      {"<textarea>\n a  b</textarea> x  y", "(textarea(\" a  b\")\"x y\")", 0},
      // Text inside an outer pre stays verbatim after a nested pre closes.
      {"<pre>a<pre>b</pre>  c  </pre>  d", "(pre(\"a\"pre(\"b\")\"  c  \")\"d\")", 0},
      // A self-closed pre is empty and turns nothing verbatim.
      {"<pre/>a   b", "(pre\"a b\")", 0},
      {"<pre>x<span>  y</span></pre>", "(pre(\"x\"span(\"  y\")))", 0},
  };
  for (const auto &c : cases) check_tree(c, 1);
}

// More children than 16 bits count: every one must be linked, and no other node's list touched.
TEST(html_tree, wide_elements_keep_every_child) {
  std::string input = "<div>";
  for (int i = 0; i < 70000; i++) input += "<br>";
  input += "</div><p>end</p>";
  hp_test_parse p;
  p.run(input, hp_option_input_is_utf8, 0);
  ASSERT_EQ(p.tree_error, 0);
  html_node *root = &p.tree.nodes[0];
  ASSERT_EQ(root->element.child_count, 2u);
  html_node *div = root->element.children[0];
  ASSERT_EQ(div->element.child_count, 70000u);
  for (u32 i = 0; i < 70000; i++) ASSERT_EQ(div->element.children[i], &p.tree.nodes[2 + i]);
  html_node *para = root->element.children[1];
  ASSERT_TRUE(hp_node_is_element(para, 21));
  ASSERT_EQ(para->element.child_count, 1u);
  EXPECT_TRUE(hp_node_is_text(para->element.children[0]));
}

TEST(html_tree, not_enough_memory) {
  hp_test_parse p;
  p.run("<p>x</p>", hp_option_input_is_utf8);
  u64 need = hp_tree_construction_memory_size(&p.tokens);
  std::vector<u8> bytes(need + 8);
  buffer small = buffer_make(need - 16, 0, bytes.data());
  int err = 0;
  html_tree tree;
  hp_tree_construction(&tree, &small, &p.tokens, 1, &err);
  EXPECT_EQ(err, html_tree_construction_error_not_enough_memory);
  EXPECT_EQ(small.used, 0u);
  EXPECT_EQ(tree.nodes, nullptr);
  buffer exact = buffer_make(need, 0, (u8 *)align_up((u64)bytes.data(), 8));
  err = 0;
  hp_tree_construction(&tree, &exact, &p.tokens, 0, &err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(tree.node_count, 3u);
}

// ---- End tags in lenient mode --------------------------------------------------------------

// The open elements as a plain stack searched from the top: an end tag closes down to the
// innermost open element of its name, or is dropped when none is open.
struct end_tag_model {
  struct node {
    std::string tag;  // empty for text and the root
    std::string text;
    std::vector<int> children;
  };
  std::vector<node> nodes{node{}};
  std::vector<int> open{0};
  void start(const std::string &tag, bool empty) {
    nodes.push_back(node{tag, "", {}});
    int id = (int)nodes.size() - 1;
    nodes[open.back()].children.push_back(id);
    if (!empty) open.push_back(id);
  }
  void end(const std::string &tag) {
    for (size_t i = open.size(); i-- > 1;) {
      if (nodes[open[i]].tag == tag) {
        open.resize(i);
        return;
      }
    }
  }
  void text(const std::string &t) {
    nodes.push_back(node{"", t, {}});
    nodes[open.back()].children.push_back((int)nodes.size() - 1);
  }
  void picture(int id, std::string *out) const {
    const node &n = nodes[id];
    if (id != 0 && n.tag.empty()) {
      *out += "\"" + n.text + "\"";
      return;
    }
    *out += n.tag;
    if (n.children.empty() && id != 0) return;
    *out += "(";
    for (int c : n.children) picture(c, out);
    *out += ")";
  }
};

TEST(html_tree, lenient_end_tags_match_a_stack_model_over_random_sequences) {
  const char *tags[] = {"b", "i", "a", "span", "div", "p", "pre", "em"};
  std::mt19937_64 rng(25);
  for (int round = 0; round < 300; round++) {
    end_tag_model model;
    std::string html;
    u64 steps = 1 + rng() % 200;
    for (u64 k = 0; k < steps; k++) {
      // A word before a tag now and then; two never meet, so each is one text token.
      if (rng() % 3 == 0) {
        std::string word = "w" + std::to_string(k);
        html += word;
        model.text(word);
      }
      const char *tag = tags[rng() % array_count(tags)];
      u64 kind = rng() % 10;
      if (kind < 4) {
        html += std::string("<") + tag + ">";
        model.start(tag, false);
      } else if (kind == 4) {
        html += std::string("<") + tag + "/>";
        model.start(tag, true);
      } else if (kind == 5) {
        html += "<br>";
        model.start("br", true);
      } else {
        html += std::string("</") + tag + ">";
        model.end(tag);
      }
    }
    hp_test_parse p;
    p.run(html, hp_option_input_is_utf8, 1);
    ASSERT_EQ(p.token_error, 0) << html;
    ASSERT_EQ(p.tree_error, 0) << html;
    std::string expected;
    model.picture(0, &expected);
    ASSERT_EQ(hp_test_tree_picture(p.tree), expected) << html;
  }
}

// End tags that find nothing to close, or close a long way down, over a stack as deep as the
// document allows: the stack entries looked at grow with the tags, not with tags times depth.
TEST(html_tree, end_tags_over_a_deep_stack_take_work_linear_in_their_number) {
  auto steps = [](const std::string &html) {
    hp_test_parse p;
    p.run(html, hp_option_input_is_utf8, 1);
    EXPECT_EQ(p.tree_error, 0);
    return p.tree.end_tag_steps;
  };
  auto stray = [](u64 n) {
    std::string s;
    for (u64 i = 0; i < n; i++) s += "<i>";
    s += "x";
    for (u64 i = 0; i < n; i++) s += "</b>";
    return s;
  };
  auto closing_down = [](u64 n) {
    std::string s;
    for (u64 i = 0; i < n; i++) s += "<b><i>x";
    for (u64 i = 0; i < n; i++) s += "</b>";
    return s;
  };
  for (auto shape : {+stray, +closing_down}) {
    const u64 n = 3000;
    u64 small = steps(shape(n)), large = steps(shape(4 * n));
    EXPECT_GE(small, n);
    EXPECT_LE(small, 3 * n);
    EXPECT_LE(large, 4 * small + 8);
  }
}

// ---- Traversal ---------------------------------------------------------------------------

std::vector<std::string> walk(const html_tree &tree, u64 capacity) {
  std::vector<std::string> events;
  std::vector<u8> bytes(hp_tree_traversal_memory_size(capacity) + 8);
  buffer arena = buffer_make(bytes.size(), 0, bytes.data());
  int err = 0;
  html_tree_traversal t;
  hp_tree_traversal_init(&t, &arena, &tree.nodes[0], capacity, &err);
  EXPECT_EQ(err, 0);
  while (hp_tree_traversal_has_next(&t)) {
    html_node *n = hp_tree_traversal_get_node(&t);
    if (n->type == html_node_text) {
      EXPECT_TRUE(hp_tree_traversal_is_node_start(&t));
      events.push_back("t:" + std::string((char *)n->text.data, n->text.used));
    } else if (hp_tree_traversal_is_node_start(&t)) {
      events.push_back(std::string("+") + html_tag_names[n->element.tag]);
    } else {
      EXPECT_TRUE(hp_tree_traversal_is_node_end(&t));
      events.push_back(std::string("-") + html_tag_names[n->element.tag]);
    }
    hp_tree_traversal_advance(&t);
    if (events.size() > 10000000) break;
  }
  return events;
}

TEST(html_traversal, small_trees) {
  hp_test_parse empty;
  empty.run("", hp_option_input_is_utf8, 1);
  EXPECT_TRUE(walk(empty.tree, empty.tree.node_count).empty());
  hp_test_parse a;
  a.run("<p>a</p><img src=x>", hp_option_input_is_utf8, 1);
  EXPECT_EQ(walk(a.tree, a.tree.node_count), (std::vector<std::string>{"+p", "t:a", "-p", "+img"}));
  hp_test_parse b;
  b.run("<div><span></span></div>", hp_option_input_is_utf8, 1);
  EXPECT_EQ(walk(b.tree, b.tree.node_count), (std::vector<std::string>{"+div", "+span", "-span", "-div"}));
  // Without room for its stack, init fails and the walk visits nothing.
  u8 one[2];
  buffer tiny = buffer_make(sizeof(one), 0, one);
  int err = 0;
  html_tree_traversal t;
  hp_tree_traversal_init(&t, &tiny, &b.tree.nodes[0], b.tree.node_count, &err);
  EXPECT_EQ(err, html_tree_traversal_error_not_enough_memory);
  EXPECT_FALSE(hp_tree_traversal_has_next(&t));
}

// Random trees written as HTML: the walk must give back exactly the events they were written
// from.
void random_tree(std::mt19937_64 *rng, int depth, std::string *html, std::vector<std::string> *events) {
  const char *containers[] = {"div", "span", "p", "b", "ul", "li", "pre"};
  u64 children = (*rng)() % (depth > 6 ? 2 : 5);
  bool last_text = false;
  for (u64 i = 0; i < children; i++) {
    u64 kind = (*rng)() % 4;
    if (kind == 0 && !last_text) {
      std::string word = "w" + std::to_string((*rng)() % 1000);
      *html += word;
      events->push_back("t:" + word);
      last_text = true;
      continue;
    }
    last_text = false;
    if (kind == 1) {
      const char *v = (*rng)() % 2 ? "br" : "img";
      *html += std::string("<") + v + ">";
      events->push_back(std::string("+") + v);
      continue;
    }
    const char *tag = containers[(*rng)() % array_count(containers)];
    *html += std::string("<") + tag + ">";
    events->push_back(std::string("+") + tag);
    random_tree(rng, depth + 1, html, events);
    *html += std::string("</") + tag + ">";
    events->push_back(std::string("-") + tag);
  }
}

TEST(html_traversal, random_trees_walk_in_document_order) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 400; round++) {
    std::string html;
    std::vector<std::string> events;
    random_tree(&rng, 0, &html, &events);
    hp_test_parse p;
    p.run(html, hp_option_input_is_utf8, 0);
    ASSERT_EQ(p.tree_error, 0) << html;
    ASSERT_EQ(walk(p.tree, p.tree.node_count), events) << html;
  }
}

TEST(html_traversal, deep_and_wide_trees) {
  const int depth = 50000;
  std::string html;
  for (int i = 0; i < depth; i++) html += "<b>";
  html += "x";
  for (int i = 0; i < depth; i++) html += "</b>";
  html += "<br>";
  hp_test_parse p;
  p.run(html, hp_option_input_is_utf8, 0);
  ASSERT_EQ(p.tree_error, 0);
  std::vector<std::string> events = walk(p.tree, p.tree.node_count);
  ASSERT_EQ(events.size(), (size_t)(2 * depth + 2));
  EXPECT_EQ(events[depth - 1], "+b");
  EXPECT_EQ(events[depth], "t:x");
  EXPECT_EQ(events[depth + 1], "-b");
  EXPECT_EQ(events.back(), "+br");
  // A stack too small for the nesting skips the deepest subtrees (the element at the limit is
  // visited once) rather than write past it.
  std::vector<std::string> shallow = walk(p.tree, 10);
  EXPECT_EQ(shallow.size(), 2u * 10 + 2);
  EXPECT_EQ(shallow.back(), "+br");
}

u64 log_bytes() {
  buffer chunks[256];
  u32 n = log_chunk_list(chunks, 256);
  u64 total = 0;
  for (u32 i = 0; i < n && i < 256; i++) total += chunks[i].used;
  return total;
}

// The dump's stack holds one entry per node, so trees past 262,143 nodes are walked too.
TEST(html_traversal, tree_dump_of_a_large_tree) {
  std::string html;
  for (int i = 0; i < 300000; i++) html += "<br>";
  html += "<p class=\"c\">x</p>";
  hp_test_parse p;
  p.run(html, hp_option_input_is_utf8, 0);
  ASSERT_EQ(p.tree_error, 0);
  u64 before = log_bytes();
  hp_print_tree(&p.tree);
  std::string tail = "p class=\"c\"\n    text_node: x\n/p\n";
  EXPECT_EQ(log_bytes() - before, 300000u * 3 + tail.size());
  buffer last = log_last_text();
  std::string text((char *)last.data, last.used);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(html_traversal, token_dump) {
  hp_test_parse p;
  p.run("<!DOCTYPE html><p class=a hidden>x<!--c--><![CDATA[d]]></p><br/>", hp_option_input_is_utf8);
  hp_print_tokens(&p.tokens);
  buffer last = log_last_text();
  std::string text((char *)last.data, last.used);
  std::string want =
      "doctype legacy=false\n<p self_closing=false class=\"a\" hidden\ntext: x\ncomment: c\ncdata: d\n</ p\n<br "
      "self_closing=true\n";
  EXPECT_EQ(text.substr(text.size() - want.size()), want);
}

}  // namespace
