// The fixed tables of known tags and attributes, the attributes each tag allows, and the name
// lookups. Bucket indexes by first letter are built at compile time so a lookup compares only
// the few names that share the first letter.
#include "core/strings.h"
#include "html/html.h"

#define HP_TAGS(X)                                                                                     \
  X(invalid, 0) X(html, 0) X(head, 0) X(title, 0) X(base, 2) X(link, 3) X(meta, 2) X(style, 0)         \
  X(body, 0) X(article, 0) X(section, 0) X(nav, 0) X(aside, 0) X(h1, 0) X(h2, 0) X(h3, 0) X(h4, 0)    \
  X(h5, 0) X(h6, 0) X(header, 0) X(footer, 0) X(p, 0) X(address, 0) X(hr, 2) X(pre, 0)               \
  X(blockquote, 0) X(ol, 0) X(ul, 0) X(li, 0) X(dl, 0) X(dt, 0) X(dd, 0) X(figure, 0)                \
  X(figcaption, 0) X(main, 0) X(div, 0) X(a, 1) X(em, 1) X(strong, 1) X(small, 1) X(s, 1) X(cite, 1) \
  X(q, 1) X(dfn, 1) X(abbr, 1) X(ruby, 1) X(rb, 0) X(rt, 0) X(rtc, 0) X(rp, 0) X(data, 1) X(time, 1) \
  X(code, 1) X(var, 1) X(samp, 1) X(kbd, 1) X(sub, 1) X(sup, 1) X(i, 1) X(b, 1) X(u, 1) X(mark, 1)   \
  X(bdi, 1) X(bdo, 1) X(span, 1) X(br, 3) X(wbr, 3) X(ins, 1) X(del, 1) X(picture, 1) X(source, 2)   \
  X(img, 3) X(iframe, 1) X(embed, 3) X(object, 1) X(param, 2) X(video, 1) X(audio, 1) X(track, 2)   \
  X(map, 1) X(area, 3) X(math, 1) X(svg, 1) X(table, 0) X(caption, 0) X(colgroup, 0) X(col, 2)       \
  X(tbody, 0) X(thead, 0) X(tfoot, 0) X(tr, 0) X(td, 0) X(th, 0) X(form, 0) X(label, 1) X(input, 3)  \
  X(button, 1) X(select, 1) X(datalist, 1) X(optgroup, 0) X(option, 0) X(textarea, 1) X(output, 1)  \
  X(progress, 1) X(meter, 1) X(fieldset, 0) X(legend, 0) X(details, 0) X(summary, 0) X(dialog, 0)    \
  X(script, 1) X(noscript, 1) X(template, 1) X(canvas, 1)

#define HP_TAG_NAME(name, flags) #name,
#define HP_TAG_LENGTH(name, flags) (u8)(sizeof(#name) - 1),
#define HP_TAG_FLAGS(name, flags) flags,

constexpr const char *const html_tag_names[HTML_TAG_COUNT] = {HP_TAGS(HP_TAG_NAME)};
const u8 html_tag_name_lengths[HTML_TAG_COUNT] = {HP_TAGS(HP_TAG_LENGTH)};
const u8 html_tag_flags[HTML_TAG_COUNT] = {HP_TAGS(HP_TAG_FLAGS)};

constexpr const char *const html_attribute_names[HTML_ATTRIBUTE_COUNT] = {
    "invalid", "accesskey", "class", "contenteditable", "dir", "draggable", "hidden", "id", "lang",
    "spellcheck", "style", "tabindex", "title", "translate", "onabort", "onauxclick", "onblur", "oncancel",
    "oncanplay", "oncanplaythrough", "onchange", "onclick", "onclose", "oncuechange", "ondblclick",
    "ondrag", "ondragend", "ondragenter", "ondragexit", "ondragleave", "ondragover", "ondragstart",
    "ondrop", "ondurationchange", "onemptied", "onended", "onerror", "onfocus", "oninput", "oninvalid",
    "onkeydown", "onkeypress", "onkeyup", "onload", "onloadeddata", "onloadedmetadata", "onloadend",
    "onloadstart", "onmousedown", "onmouseenter", "onmouseleave", "onmousemove", "onmouseout",
    "onmouseover", "onmouseup", "onwheel", "onpause", "onplay", "onplaying", "onprogress", "onratechange",
    "onreset", "onresize", "onscroll", "onseeked", "onseeking", "onselect", "onshow", "onstalled",
    "onsubmit", "onsuspend", "ontimeupdate", "ontoggle", "onvolumechange", "onwaiting", "oncut", "oncopy",
    "onpaste", "manifest", "href", "target", "crossorigin", "rel", "rev", "media", "nonce", "hreflang",
    "type", "referrerpolicy", "sizes", "name", "http-equiv", "content", "charset", "onafterprint",
    "onbeforeprint", "onbeforeunload", "onhashchange", "onlanguagechange", "onmessage", "onoffline",
    "ononline", "onpagehide", "onpageshow", "onpopstate", "onrejectionhandled", "onstorage",
    "onunhandledrejection", "onunload", "cite", "reversed", "start", "value", "download", "datetime", "src",
    "srcset", "alt", "usemap", "ismap", "width", "height", "longdesc", "srcdoc", "sandbox",
    "allowfullscreen", "allowpaymentrequest", "data", "typemustmatch", "form", "poster", "preload",
    "autoplay", "loop", "muted", "controls", "kind", "srclang", "label", "default", "coords", "shape",
    "border", "span", "rowgroup", "row", "colspan", "rowspan", "headers", "cell", "scope", "abbr",
    "columnheader", "rowheader", "accept-charset", "action", "autocomplete", "enctype", "method",
    "novalidate", "for", "accept", "autofocus", "checked", "dirname", "disabled", "formaction",
    "formenctype", "formmethod", "formnovalidate", "formtarget", "list", "max", "maxlength", "min",
    "minlength", "multiple", "pattern", "placeholder", "readonly", "required", "size", "step", "selected",
    "cols", "rows", "wrap", "low", "high", "optimum", "open", "async", "defer"};


namespace {

constexpr u64 cstr_length(const char *s) {
  u64 n = 0;
  while (s[n]) n++;
  return n;
}

constexpr bool cstr_equal(const char *a, u64 a_length, const char *b, u64 b_length) {
  if (a_length != b_length) return false;
  for (u64 i = 0; i < a_length; i++)
    if (a[i] != b[i]) return false;
  return true;
}

struct allowed_row {
  const char *tags;
  const char *attributes;
};

constexpr allowed_row allowed_rows[] = {
    {"html", "manifest"},
    {"base", "href target"},
    {"link", "href crossorigin rel rev media nonce hreflang type referrerpolicy sizes"},
    {"meta", "name http-equiv content charset"},
    {"style", "media nonce type"},
    {"body",
     "onafterprint onbeforeprint onbeforeunload onhashchange onlanguagechange onmessage onoffline ononline "
     "onpagehide onpageshow onpopstate onrejectionhandled onstorage onunhandledrejection onunload"},
    {"blockquote", "cite"},
    {"ol", "reversed start type"},
    {"li", "value"},
    {"a", "href target download rel rev hreflang type referrerpolicy"},
    {"q", "cite"},
    {"data", "value"},
    {"time", "datetime"},
    {"ins del", "cite datetime"},
    {"source", "src type srcset sizes media"},
    {"img", "alt src srcset sizes crossorigin usemap ismap width height referrerpolicy longdesc"},
    {"iframe", "src srcdoc name sandbox allowfullscreen allowpaymentrequest width height referrerpolicy"},
    {"embed", "src type width height"},
    {"object", "data type typemustmatch name form width height"},
    {"param", "name value"},
    {"video", "src crossorigin poster preload autoplay loop muted controls width height"},
    {"audio", "src crossorigin preload autoplay loop muted controls"},
    {"track", "kind src srclang label default"},
    {"map", "name"},
    {"area", "alt coords download href hreflang rel shape target type referrerpolicy"},
    {"table", "border"},
    {"colgroup col", "span"},
    {"tbody thead tfoot", "rowgroup"},
    {"tr", "row"},
    {"td", "colspan rowspan headers cell"},
    {"th", "colspan rowspan headers scope abbr columnheader rowheader"},
    {"form", "accept-charset action autocomplete enctype method name novalidate target"},
    {"label", "for"},
    {"input",
     "accept alt autocomplete autofocus checked dirname disabled form formaction formenctype formmethod "
     "formnovalidate formtarget height list max maxlength min minlength multiple name pattern placeholder "
     "readonly required size src step type value width"},
    {"button", "autofocus disabled form formaction formenctype formmethod formnovalidate formtarget name type value"},
    {"select", "autocomplete autofocus disabled form multiple name required size"},
    {"optgroup", "disabled label"},
    {"option", "disabled label selected value"},
    {"textarea",
     "autocomplete autofocus cols dirname disabled form maxlength minlength name placeholder readonly required "
     "rows wrap"},
    {"output", "for form name"},
    {"progress", "value max"},
    {"meter", "value min max low high optimum"},
    {"fieldset", "disabled form name"},
    {"details dialog", "open"},
    {"script", "src type charset async defer crossorigin nonce"},
    {"canvas", "width height"},
};

// Calls f(word, length) for each space-separated word.
template <typename F>
constexpr void for_each_word(const char *s, F f) {
  u64 i = 0;
  while (s[i]) {
    while (s[i] == ' ') i++;
    u64 start = i;
    while (s[i] && s[i] != ' ') i++;
    if (i > start) f(s + start, i - start);
  }
}

template <u64 N>
constexpr u8 find_name(const char *const (&names)[N], const char *word, u64 length) {
  for (u64 id = 1; id < N; id++)
    if (cstr_equal(names[id], cstr_length(names[id]), word, length)) return (u8)id;
  return 0;
}

struct allowed_table {
  u8 ids[248];
  u8 count[HTML_TAG_COUNT];
  u8 offset[HTML_TAG_COUNT];
  u64 total;
  bool complete;
};

constexpr allowed_table build_allowed() {
  allowed_table t = {};
  t.complete = true;
  for (const allowed_row &row : allowed_rows) {
    for_each_word(row.tags, [&](const char *tag_word, u64 tag_length) {
      u8 tag = find_name(html_tag_names, tag_word, tag_length);
      if (tag == 0) t.complete = false;
      t.offset[tag] = (u8)t.total;
      for_each_word(row.attributes, [&](const char *word, u64 length) {
        u8 id = find_name(html_attribute_names, word, length);
        if (id == 0 || t.total >= 248) {
          t.complete = false;
          return;
        }
        t.ids[t.total++] = id;
        t.count[tag]++;
      });
    });
  }
  return t;
}

constexpr allowed_table allowed = build_allowed();
static_assert(allowed.complete && allowed.total == 248, "every allowed name is known");

// Names grouped by first byte: order[start[b] .. start[b + 1]) are the ids whose name starts
// with b ('a' to 'z' and '-' never start one, but digits and letters do).
template <u64 N>
struct bucket_index {
  u8 order[N];
  u16 start[257];
};

template <u64 N>
constexpr bucket_index<N> build_index(const char *const (&names)[N]) {
  bucket_index<N> index = {};
  u64 k = 0;
  for (u64 b = 0; b < 256; b++) {
    index.start[b] = (u16)k;
    for (u64 id = 1; id < N; id++)
      if ((u8)names[id][0] == b) index.order[k++] = (u8)id;
  }
  index.start[256] = (u16)k;
  return index;
}

constexpr bucket_index<HTML_TAG_COUNT> tag_index = build_index(html_tag_names);
constexpr bucket_index<HTML_ATTRIBUTE_COUNT> attribute_index = build_index(html_attribute_names);

template <u64 N>
inline u8 lookup(const bucket_index<N> &index, const char *const (&names)[N], const u8 *name, u64 length) {
  if (length == 0 || !name) return 0;
  for (u64 k = index.start[name[0]]; k < index.start[name[0] + 1]; k++) {
    u8 id = index.order[k];
    const char *candidate = names[id];
    u64 i = 0;
    while (i < length && candidate[i] && (u8)candidate[i] == name[i]) i++;
    if (i == length && candidate[i] == 0) return id;
  }
  return 0;
}

}  // namespace

html_tag hp_tag_from_name(const u8 *name, u64 length) { return lookup(tag_index, html_tag_names, name, length); }

html_attribute_name hp_attribute_from_name(const u8 *name, u64 length) {
  return lookup(attribute_index, html_attribute_names, name, length);
}

bool hp_tag_allows_attribute(html_tag tag, html_attribute_name attribute) {
  if (attribute >= HTML_GLOBAL_ATTRIBUTE_FIRST && attribute < HTML_GLOBAL_ATTRIBUTE_END) return true;
  if (tag >= HTML_TAG_COUNT || attribute == 0) return false;
  for (u64 i = 0; i < allowed.count[tag]; i++)
    if (allowed.ids[allowed.offset[tag] + i] == attribute) return true;
  return false;
}

u8 hp_tag_has_flag(u8 tag, u8 mask) { return tag < HTML_TAG_COUNT ? (u8)(html_tag_flags[tag] & mask) : 0; }

namespace {
struct attribute_lengths {
  u8 length[HTML_ATTRIBUTE_COUNT];
};
constexpr attribute_lengths build_attribute_lengths() {
  attribute_lengths l = {};
  for (u64 i = 0; i < HTML_ATTRIBUTE_COUNT; i++) l.length[i] = (u8)cstr_length(html_attribute_names[i]);
  return l;
}
constexpr attribute_lengths attribute_name_lengths = build_attribute_lengths();
}  // namespace

const u8 html_attribute_name_lengths[HTML_ATTRIBUTE_COUNT] = {
#define HP_L(i) attribute_name_lengths.length[i]
#define HP_L8(i) HP_L(i), HP_L(i + 1), HP_L(i + 2), HP_L(i + 3), HP_L(i + 4), HP_L(i + 5), HP_L(i + 6), HP_L(i + 7)
#define HP_L64(i) HP_L8(i), HP_L8(i + 8), HP_L8(i + 16), HP_L8(i + 24), HP_L8(i + 32), HP_L8(i + 40), HP_L8(i + 48), HP_L8(i + 56)
    HP_L64(0), HP_L64(64), HP_L64(128), HP_L(192)};
