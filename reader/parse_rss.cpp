// RSS 0.9x, 1.0 (after reshaping) and 2.0: the channel's elements and its items.
#include "reader/feed_parse_internal.h"

static bool rss_name_is(const xml_node *n, const char *name) {
  return xml_is_element(n, string_from_bytes(name, string_length(name)));
}
// The same for a name written in place, measured when compiled: the walks that judge an item
// ask it of every element.
#define rss_is(n, name) xml_is_element((n), string_lit(name))

struct rss_feed_field {
  const char *name;
  buffer feed_rss::*field;
};

static const rss_feed_field rss_channel_texts[] = {
    {"title", &feed_rss::title},         {"link", &feed_rss::link},
    {"description", &feed_rss::description}, {"language", &feed_rss::language},
    {"copyright", &feed_rss::copyright}, {"managingEditor", &feed_rss::managingEditor},
    {"webMaster", &feed_rss::webMaster}, {"generator", &feed_rss::generator},
    {"docs", &feed_rss::docs},           {"rating", &feed_rss::rating},
};

static const rss_feed_field rss_image_texts[] = {
    {"url", &feed_rss::image_url},
    {"title", &feed_rss::image_title},
    {"link", &feed_rss::image_link},
    {"description", &feed_rss::image_description},
};

static const rss_feed_field rss_text_input_texts[] = {
    {"title", &feed_rss::textInput_title},
    {"description", &feed_rss::textInput_description},
    {"name", &feed_rss::textInput_name},
    {"link", &feed_rss::textInput_link},
};

// Sets the field the table names for the element; false when the table has no such name.
static bool rss_set_named(feed_parse_context *c, feed_rss *s, const rss_feed_field *table, u32 n, const xml_node *e) {
  for (u32 i = 0; i < n; ++i) {
    if (!rss_name_is(e, table[i].name)) continue;
    reader_set_string_from_node(c->r, c->scratch, &(s->*table[i].field), e);
    return true;
  }
  return false;
}

// Children of "image" or "textInput"; each child's text lives only while it is handled.
template <class F>
static void rss_each_child(feed_parse_context *c, const xml_node *parent, F handle) {
  for (xml_node *n = xml_first_child_element(parent); n; n = xml_next_sibling_element(n)) {
    buffer_mark mark = buffer_mark_begin(c->scratch);
    handle(n);
    buffer_mark_rollback(&mark);
  }
}

static const char *const rss_day_names[7] = {"Monday", "Tuesday", "Wednesday", "Thursday",
                                             "Friday", "Saturday", "Sunday"};

static bool rss_has_digit(buffer text) {
  for (u64 i = 0; i < text.used; ++i)
    if (char_is_digit(text.data[i])) return true;
  return false;
}

// The dates of an item: its last "pubDate" and its last "dc:date" (RSS 1.0 dates its items this
// way). False when the element is neither.
static bool rss_take_date(feed_parse_context *c, const xml_node *n, date *pub, date *dc_date, bool quiet = false) {
  bool is_pub = rss_is(n, "pubDate");
  if (!is_pub && !rss_is(n, "dc:date")) return false;
  buffer_mark scratch_mark = buffer_mark_begin(c->scratch);
  buffer text = {};
  if (feed_node_text(c->scratch, n, &text, quiet)) *(is_pub ? pub : dc_date) = feed_date_from_text(text);
  buffer_mark_rollback(&scratch_mark);
  return true;
}

// A pubDate, when there is one, wins.
static date rss_item_date(date pub, date dc_date) { return date_is_zero(pub) ? dc_date : pub; }

// ---- Reading an item before it is built ---------------------------------------------------
// Quiet, each text as the entry would take it; the verdict asks for each only as it needs it.

static date rss_read_date(feed_parse_context *c, const xml_node *item) {
  date pub = {}, dc_date = {};
  for (xml_node *n = xml_first_child_element(item); n; n = xml_next_sibling_element(n))
    rss_take_date(c, n, &pub, &dc_date, true);
  return rss_item_date(pub, dc_date);
}

// The description, or the encoded content while there is none.
static buffer rss_read_text(feed_parse_context *c, const xml_node *item) {
  buffer text = feed_read_last(c, item, string_lit("description"));
  for (xml_node *n = xml_first_child_element(item); n && !text.used; n = xml_next_sibling_element(n)) {
    if (rss_is(n, "content:encoded") && !feed_node_text(c->scratch, n, &text, true)) {
      text = buffer{};
      c->key_unread = true;
    }
  }
  return text;
}

static buffer rss_read_link(feed_parse_context *c, const xml_node *item) {
  return feed_read_last(c, item, string_lit("link"));
}

static buffer rss_read_title(feed_parse_context *c, const xml_node *item) {
  return feed_read_last(c, item, string_lit("title"));
}

static const feed_item_reader rss_item_reader = {rss_read_date, string_lit("guid"), rss_read_link, rss_read_title,
                                                 rss_read_text};

// ---- Building an item --------------------------------------------------------------------

struct rss_entry_field {
  const char *name;
  buffer entry_rss::*field;
};

static const rss_entry_field rss_item_texts[] = {
    {"title", &entry_rss::title}, {"link", &entry_rss::link},         {"description", &entry_rss::description},
    {"author", &entry_rss::author}, {"comments", &entry_rss::comments},
};

static void rss_parse_item(feed_parse_context *c, const xml_node *item) {
  reader *r = c->r;
  feed_entry_start start;
  entry *e = feed_begin_entry(c, rss_item_reader, item, &start);
  if (!e) return;
  entry_rss *s = &e->rss;
  date pub = {}, dc_date = {};
  bool stored = true;
  for (xml_node *n = xml_first_child_element(item); n; n = xml_next_sibling_element(n)) {
    buffer_mark scratch_mark = buffer_mark_begin(c->scratch);
    bool named = false;
    for (const rss_entry_field &t : rss_item_texts) {
      if (!rss_name_is(n, t.name)) continue;
      stored &= feed_set_text(c, &(s->*t.field), n);
      named = true;
      break;
    }
    if (named) {
    } else if (rss_name_is(n, "content:encoded")) {
      if (s->description.used == 0) stored &= feed_set_text(c, &s->description, n);
    } else if (rss_name_is(n, "category")) {
      category k = {};
      // A category that does not fit is left out; the item keeps the rest.
      if (feed_node_text(c->scratch, n, &k.term))
        reader_add_category_link(r, &k, link_kind_rss_entry_category, e->id, &s->category_count);
    } else if (rss_name_is(n, "enclosure")) {
      buffer url = feed_attribute(n, "url"), type = feed_attribute(n, "type");
      if (url.used) stored &= feed_set_string(r, &s->enclosure_url, url);
      if (type.used) stored &= feed_set_string(r, &s->enclosure_type, type);
      if (xml_find_attribute(n, string_lit("length"))) s->enclosure_length = feed_parse_s64(feed_attribute(n, "length"));
    } else if (rss_name_is(n, "guid")) {
      bool set = false;
      stored &= feed_set_text(c, &s->guid, n, &set);
      xml_node *permalink = xml_find_attribute(n, string_lit("isPermaLink"));
      if (set)
        s->isPermaLink = !permalink || string_equal(string_from_bytes(permalink->value.data, permalink->value.used),
                                                    string_lit("true"));
    } else if (rss_take_date(c, n, &pub, &dc_date)) {
    } else if (rss_name_is(n, "source")) {
      stored &= feed_set_text(c, &s->source, n);
      buffer url = feed_attribute(n, "url");
      if (url.used) stored &= feed_set_string(r, &s->source_url, url);
    }
    buffer_mark_rollback(&scratch_mark);
  }
  s->pubDate = rss_item_date(pub, dc_date);
  feed_finish_entry(c, e, start, stored);
}

static void rss_parse_channel_child(feed_parse_context *c, const xml_node *n) {
  reader *r = c->r;
  feed *f = c->f;
  feed_rss *s = &f->rss;
  buffer text = {};
  if (rss_set_named(c, s, rss_channel_texts, array_count(rss_channel_texts), n)) return;
  if (rss_name_is(n, "item")) {
    rss_parse_item(c, n);
  } else if (rss_name_is(n, "pubDate")) {
    // A channel date that cannot be read is no date: it must not pin pubDate in the far future.
    if (feed_node_text(c->scratch, n, &text) && text.used) s->pubDate = feed_date_later(s->pubDate, feed_date_from_text(text));
  } else if (rss_name_is(n, "category")) {
    category k = {};
    if (feed_node_text(c->scratch, n, &k.term))
      reader_add_category_link(r, &k, link_kind_rss_feed_category, f->id, &s->category_count);
  } else if (rss_name_is(n, "cloud")) {
    static const rss_feed_field attributes[] = {
        {"domain", &feed_rss::cloud_domain},
        {"path", &feed_rss::cloud_path},
        {"registerProcedure", &feed_rss::cloud_registerProcedure},
        {"protocol", &feed_rss::cloud_protocol},
    };
    for (const rss_feed_field &a : attributes) {
      buffer value = feed_attribute(n, a.name);
      if (value.used) feed_set_string(r, &(s->*a.field), value);
    }
    if (xml_find_attribute(n, string_lit("port"))) s->cloud_port = feed_parse_s32(feed_attribute(n, "port"));
  } else if (rss_name_is(n, "ttl")) {
    if (feed_node_text(c->scratch, n, &text)) s->ttl = feed_parse_s32(text);
  } else if (rss_name_is(n, "image")) {
    rss_each_child(c, n, [&](const xml_node *child) {
      if (rss_set_named(c, s, rss_image_texts, array_count(rss_image_texts), child)) return;
      buffer value = {};
      if (!feed_node_text(c->scratch, child, &value)) return;
      if (rss_name_is(child, "width")) s->image_width = feed_parse_s32(value);
      if (rss_name_is(child, "height")) s->image_height = feed_parse_s32(value);
    });
  } else if (rss_name_is(n, "textInput")) {
    rss_each_child(c, n, [&](const xml_node *child) {
      rss_set_named(c, s, rss_text_input_texts, array_count(rss_text_input_texts), child);
    });
  } else if (rss_name_is(n, "skipHours")) {
    rss_each_child(c, n, [&](const xml_node *child) {
      buffer value = {};
      if (!rss_name_is(child, "hour") || !feed_node_text(c->scratch, child, &value) || !rss_has_digit(value)) return;
      s64 hour = feed_parse_s64(value);
      if (hour >= 0 && hour <= 23) s->skipHours[hour] = 1;
    });
  } else if (rss_name_is(n, "skipDays")) {
    rss_each_child(c, n, [&](const xml_node *child) {
      buffer value = {};
      if (!rss_name_is(child, "day") || !feed_node_text(c->scratch, child, &value)) return;
      for (u32 d = 0; d < 7; ++d)
        if (string_equal(value, string_from_bytes(rss_day_names[d], string_length(rss_day_names[d])))) s->skipDays[d] = 1;
    });
  }
  // "lastBuildDate" and everything else are ignored.
}

void rss_parse_channel(feed_parse_context *c, xml_node *channel, buffer url) {
  if (!feed_parse_begin(c, feed_type_rss, url)) return;
  for (xml_node *n = xml_first_child_element(channel); n; n = xml_next_sibling_element(n)) {
    buffer_mark mark = buffer_mark_begin(c->scratch);
    rss_parse_channel_child(c, n);
    buffer_mark_rollback(&mark);
  }
  feed_rss *s = &c->f->rss;
  s->newest_date = feed_threshold_after(c, s->newest_date);
}
