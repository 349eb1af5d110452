// Random sequences of updates held against what a reader expects of them. The generator gives
// every item an identity (its title, link, date and text never change; its guid may be gained,
// lost or changed), so the test knows which documents carry the same item: across documents,
// deletions and exits nothing is lost, nothing is doubled, nothing deleted comes back, and the
// deleted entries kept through an exit are no more than the feed's last document lists.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "reader/save.h"
#include "store_fixture.h"

namespace {

// Days 1 to 3 are days of January 2024; 0 is no date, 9 a date in the far future.
enum : int { undated = 0, far_future = 9 };

struct identity {
  std::string title, link, text;
  int day = undated;
  int twin_of = -1;  // copied that identity's title, link, text and date: only guids tell them apart
  int version = 0;   // a changed guid is the next version
  bool has_guid = false;
  bool seen = false;
};

// An item of a document, or an entry of the store, by what tells items apart.
struct item {
  std::string title, link, text, guid;
  int day = undated;
  bool deleted = false;
  int doc = 0;        // the document that stored it (entries)
  int identity = -1;  // the generator's identity (items, and the model's entries)

  bool keyless() const { return title.empty() && link.empty(); }
  bool same_key(const item &o) const {
    return title == o.title && link == o.link && day == o.day && (!keyless() || text == o.text);
  }
  // The reader's sense of "the same item".
  bool same_as(const item &o) const {
    if (!guid.empty() && !o.guid.empty()) return guid == o.guid;
    return same_key(o);
  }
  std::string line() const {
    return title + "|" + link + "|" + (keyless() ? text : "") + "|" + std::to_string(day) + "|" + guid + "|" +
           (deleted ? "deleted" : "live");
  }
};

std::string rss_date(int day) {
  return day == far_future ? "Fri, 31 Dec 9999 10:00:00 GMT" : "Mon, 0" + std::to_string(day) + " Jan 2024 10:00:00 GMT";
}
std::string iso_date(int day) {
  return day == far_future ? "9999-12-31T10:00:00Z" : "2024-01-0" + std::to_string(day) + "T10:00:00Z";
}

std::string document_of(const std::vector<item> &items, bool atom) {
  std::string d = atom ? "<feed><title>model</title>" : "<rss><channel><title>model</title>";
  for (const item &i : items) {
    if (atom) {
      d += "<entry>";
      if (!i.guid.empty()) d += "<id>" + i.guid + "</id>";
      if (!i.title.empty()) d += "<title>" + i.title + "</title>";
      if (!i.link.empty()) d += "<link href=\"" + i.link + "\"/>";
      d += "<content>" + i.text + "</content>";
      if (i.day != undated) d += "<updated>" + iso_date(i.day) + "</updated>";
      d += "</entry>";
    } else {
      d += "<item>";
      if (!i.title.empty()) d += "<title>" + i.title + "</title>";
      if (!i.link.empty()) d += "<link>" + i.link + "</link>";
      if (!i.guid.empty()) d += "<guid isPermaLink=\"false\">" + i.guid + "</guid>";
      d += "<description>" + i.text + "</description>";
      if (i.day != undated) d += "<pubDate>" + rss_date(i.day) + "</pubDate>";
      d += "</item>";
    }
  }
  return d + (atom ? "</feed>" : "</channel></rss>");
}

class FeedUpdateModel : public ParseStore {
 protected:
  item entry_item(entry *e) {
    item i;
    date d;
    if (entry_get_type(e) == feed_type_rss) {
      i.title = to_std(e->rss.title);
      i.link = to_std(e->rss.link);
      i.text = to_std(e->rss.description);
      d = e->rss.pubDate;
    } else {
      i.title = to_std(e->atom.title);
      i.link = to_std(reader_find_atom_link_href(&r, e->id, e->atom.atom_link_count, atom_link_owner_entry,
                                                 atom_link_rel_alternate));
      i.text = to_std(e->atom.content);
      d = e->atom.updated;
    }
    i.guid = to_std(entry_get_guid(e));
    i.day = date_is_zero(d) ? (int)undated : d.year == 9999 ? (int)far_future : (int)d.day;
    i.deleted = entry_is_deleted(e);
    return i;
  }
  template <class F>
  void each_entry(F visit) {
    for (u32 s = 0; s < r.entries.high_water; ++s) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), s);
      if (entry_is_live(e)) visit(e);
    }
  }
  std::vector<std::string> store_lines() {
    std::vector<std::string> lines;
    each_entry([&](entry *e) { lines.push_back(entry_item(e).line()); });
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  static std::vector<std::string> lines_of(const std::vector<item> &entries) {
    std::vector<std::string> lines;
    for (const item &e : entries) lines.push_back(e.line());
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  // An exit and the next start: the purge, the save, a fresh store loaded from the file.
  void exit_and_start() {
    reader_purge_deleted(&r);
    start_again_from_save();
  }
};

TEST_F(FeedUpdateModel, random_sequences_keep_every_item_once_and_deletions_bounded) {
  struct {
    u64 items = 0, stored = 0, dropped_by_date = 0, same = 0, merged = 0, guid_changes_stored = 0,
        deletions = 0, exits = 0, kept_at_exits = 0, freed_at_exits = 0;
  } count;
  std::mt19937 rng(20261210);
  const std::string titles[] = {"", "Weekly digest", "News", "Daily deal"};
  const std::string links[] = {"", "https://e.example/", "https://e.example/digest", "https://e.example/news"};
  const int days[] = {undated, 1, 2, 3, far_future};
  for (int sequence = 0; sequence < 300; ++sequence) {
    if (sequence) {
      Store::TearDown();
      r = {};
      set = {};
      Store::SetUp();
    }
    feed_id = 0;
    bool atom = rng() % 2;
    std::vector<identity> ids(4 + rng() % 7);
    for (size_t k = 0; k < ids.size(); ++k) {
      identity &x = ids[k];
      if (k && rng() % 5 == 0) {
        x.twin_of = (int)(rng() % k);
        const identity &t = ids[x.twin_of];
        x.title = t.title, x.link = t.link, x.text = t.text, x.day = t.day;
      } else {
        x.title = titles[rng() % 4];
        x.link = links[rng() % 4];
        x.text = "body " + std::to_string(k);
        x.day = days[rng() % 5];
      }
    }
    std::vector<item> model, last_doc;
    int threshold = 0;             // the feed's newest date: 0 none yet
    bool updated_in_run = false;   // the feed was fetched since the last start
    int docs = 3 + (int)(rng() % 4);
    for (int doc = 1; doc <= docs; ++doc) {
      // ---- a document: which items it lists, and what becomes of each
      std::vector<int> listed;
      for (size_t k = 0; k < ids.size(); ++k)
        if (rng() % 100 < 65) listed.push_back((int)k);
      std::shuffle(listed.begin(), listed.end(), rng);
      std::vector<item> items;
      int start = threshold, newest_seen = 0;
      std::vector<item> stored_now;
      for (int k : listed) {
        identity &x = ids[k];
        int change = (int)(rng() % 10);
        if (!x.seen) x.has_guid = rng() % 2;
        else if (change == 6) x.has_guid = true;
        else if (change == 7) x.has_guid = false;
        else if (change >= 8) x.version += 1, x.has_guid = true;
        x.seen = true;
        item it;
        it.title = x.title, it.link = x.link, it.text = x.text, it.day = x.day, it.identity = k;
        it.guid = x.has_guid ? "g" + std::to_string(k) + "v" + std::to_string(x.version) : "";
        it.doc = doc;
        items.push_back(it);
        count.items += 1;

        bool judged = it.day != undated && it.day != far_future;
        auto by_guid = std::find_if(model.begin(), model.end(),
                                    [&](const item &e) { return !it.guid.empty() && e.guid == it.guid; });
        const item *same = nullptr;
        if (judged && start && it.day < start) {
          count.dropped_by_date += 1;
          continue;
        } else if (judged && it.day > start) {
          // Later than anything the feed had: new, unless its guid's entry, stored before, has
          // this very date.
          if (by_guid != model.end() && by_guid->doc < doc && by_guid->day == it.day) same = &*by_guid;
        } else if (by_guid != model.end()) {
          same = &*by_guid;
        } else {
          // Only entries stored before this document: two items of one document are two items.
          auto by_key = std::find_if(model.begin(), model.end(), [&](const item &e) {
            return e.doc < doc && (it.guid.empty() || e.guid.empty()) && e.same_key(it);
          });
          if (by_key != model.end()) same = &*by_key;
        }
        if (same) {
          count.same += 1;
          // Items that share title, link and date where one of them has no guid cannot be told
          // apart: a trade-off of the rule, counted.
          if (same->identity != k) count.merged += 1;
          continue;
        }
        if (std::any_of(model.begin(), model.end(), [&](const item &e) { return e.identity == k; }))
          count.guid_changes_stored += 1;
        if (by_guid != model.end()) model.erase(by_guid);  // an edited item takes its entry's place
        count.stored += 1;
        if (judged) newest_seen = std::max(newest_seen, it.day);
        model.push_back(it);
      }
      if (threshold == 0 || newest_seen > threshold) threshold = newest_seen ? newest_seen : threshold;
      std::string text = document_of(items, atom);
      fetch(text);
      if (HasFatalFailure()) return;
      updated_in_run = true;
      last_doc = items;
      ASSERT_EQ(store_lines(), lines_of(model)) << "sequence " << sequence << " document " << doc << "\n" << text;
      ASSERT_EQ(reader_check(&r), 0u);

      // ---- the user deletes some entries
      while (!model.empty() && rng() % 3 == 0) {
        item &victim = model[rng() % model.size()];
        if (victim.deleted) continue;
        bool marked = false;
        each_entry([&](entry *e) {
          if (!marked && !entry_is_deleted(e) && entry_item(e).line() == victim.line()) {
            entry_mark_deleted(e);
            marked = true;
          }
        });
        ASSERT_TRUE(marked);
        victim.deleted = true;
        count.deletions += 1;
      }

      // ---- now and then an exit and a start
      if (rng() % 5 < 2 || doc == docs) {
        std::vector<item> before = model;
        exit_and_start();
        if (HasFatalFailure()) return;
        count.exits += 1;
        std::vector<std::string> after = store_lines(), live_before, kept_deleted;
        for (const item &e : before)
          if (!e.deleted) live_before.push_back(e.line());
        u32 deleted_after = 0;
        for (const std::string &line : after) deleted_after += line.size() > 8 && line.substr(line.size() - 7) == "deleted";
        // Nothing live goes at an exit, and no deleted entry is kept that an update could not
        // bring back: dated before the feed's newest date, or not listed by its last document.
        std::sort(live_before.begin(), live_before.end());
        std::vector<std::string> live_after;
        for (const std::string &line : after)
          if (line.substr(line.size() - 4) == "live") live_after.push_back(line);
        EXPECT_EQ(live_after, live_before);
        std::vector<item> kept;
        for (const item &e : before) {
          if (!e.deleted) {
            kept.push_back(e);
            continue;
          }
          auto at = std::find(after.begin(), after.end(), e.line());
          if (at == after.end()) {
            count.freed_at_exits += 1;
            continue;
          }
          after.erase(at);
          kept.push_back(e);
          count.kept_at_exits += 1;
          bool by_date = e.day == undated || e.day == far_future || e.day >= threshold;
          bool listed = !updated_in_run || std::any_of(last_doc.begin(), last_doc.end(),
                                                       [&](const item &i) { return i.same_as(e); });
          EXPECT_TRUE(by_date && listed) << "kept at the exit: " << e.line();
        }
        if (updated_in_run) {
          EXPECT_LE(deleted_after, last_doc.size()) << "deleted entries kept past the document";
        }
        // A deleted entry whose item the last document still lists, and which an update could
        // store again, keeps one entry standing for it: the item never comes back live.
        for (const item &i : last_doc) {
          auto may_return = [&](const item &e) {
            return e.day == undated || e.day == far_future || e.day >= threshold;
          };
          bool had = std::any_of(before.begin(), before.end(),
                                 [&](const item &e) { return e.same_as(i) && (!e.deleted || may_return(e)); });
          bool has = std::any_of(kept.begin(), kept.end(), [&](const item &e) { return e.same_as(i); });
          if (updated_in_run && had) {
            EXPECT_TRUE(has) << "no entry left for " << i.line();
          }
        }
        model = kept;
        updated_in_run = false;
      }
    }
  }
  printf("items %llu: stored %llu, dropped by date %llu, the same as an entry %llu (of another identity with the same title, link and date %llu), "
         "stored again after a guid changed %llu; deletions %llu; exits %llu: deleted entries kept %llu, freed %llu\n",
         (unsigned long long)count.items, (unsigned long long)count.stored, (unsigned long long)count.dropped_by_date,
         (unsigned long long)count.same, (unsigned long long)count.merged,
         (unsigned long long)count.guid_changes_stored, (unsigned long long)count.deletions,
         (unsigned long long)count.exits, (unsigned long long)count.kept_at_exits,
         (unsigned long long)count.freed_at_exits);
}

}  // namespace
