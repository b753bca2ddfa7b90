// The floor kaldo convert on an IMAP folder is measured against
// (bench/imap_bench.sh): libetpan alone, fetching the folder's e-mails in
// the batches kaldo fetches them in (UID SEARCH, then UID FETCH of UID and
// BODY.PEEK[] for 200 UIDs at a time) and discarding them.
//   imap_fetch_loop HOST PORT USER PASSWORD_FILE FOLDER
#include <libetpan/mailimap.h>
#include <libetpan/mailimap_socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: imap_fetch_loop HOST PORT USER PASSWORD_FILE FOLDER\n");
    return 2;
  }
  std::string password;
  std::getline(std::ifstream(argv[4]), password);
  mailimap* session = mailimap_new(0, nullptr);
  mailimap_set_timeout(session, 30);
  const int connected = mailimap_socket_connect(session, argv[1], static_cast<std::uint16_t>(std::atoi(argv[2])));
  if ((connected != MAILIMAP_NO_ERROR_NON_AUTHENTICATED && connected != MAILIMAP_NO_ERROR_AUTHENTICATED) ||
      mailimap_login(session, argv[3], password.c_str()) != MAILIMAP_NO_ERROR ||
      mailimap_examine(session, argv[5]) != MAILIMAP_NO_ERROR) {
    std::fprintf(stderr, "imap_fetch_loop: cannot open the folder\n");
    return 2;
  }
  mailimap_search_key* all = mailimap_search_key_new_uid(mailimap_set_new_interval(1, 0));
  clist* found = nullptr;
  if (mailimap_uid_search(session, nullptr, all, &found) != MAILIMAP_NO_ERROR) return 2;
  mailimap_search_key_free(all);
  std::vector<std::uint32_t> uids;
  for (clistiter* at = clist_begin(found); at != nullptr; at = clist_next(at)) {
    uids.push_back(*static_cast<std::uint32_t*>(clist_content(at)));
  }
  mailimap_search_result_free(found);
  std::sort(uids.begin(), uids.end());
  std::uint64_t emails = 0;
  std::uint64_t bytes = 0;
  for (std::size_t first = 0; first < uids.size(); first += 200) {
    mailimap_set* set = mailimap_set_new_empty();
    const std::size_t last = std::min(uids.size(), first + 200);
    for (std::size_t i = first; i < last; ++i) mailimap_set_add_single(set, uids[i]);
    mailimap_fetch_type* what = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_fetch_type_new_fetch_att_list_add(what, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(what, mailimap_fetch_att_new_body_peek_section(mailimap_section_new(nullptr)));
    clist* result = nullptr;
    if (mailimap_uid_fetch(session, set, what, &result) != MAILIMAP_NO_ERROR) return 2;
    for (clistiter* at = clist_begin(result); at != nullptr; at = clist_next(at)) {
      const auto* attributes = static_cast<mailimap_msg_att*>(clist_content(at));
      for (clistiter* item = clist_begin(attributes->att_list); item != nullptr; item = clist_next(item)) {
        const auto* attribute = static_cast<mailimap_msg_att_item*>(clist_content(item));
        if (attribute->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC &&
            attribute->att_data.att_static->att_type == MAILIMAP_MSG_ATT_BODY_SECTION) {
          ++emails;
          bytes += attribute->att_data.att_static->att_data.att_body_section->sec_length;
        }
      }
    }
    mailimap_fetch_list_free(result);
    mailimap_fetch_type_free(what);
    mailimap_set_free(set);
  }
  mailimap_logout(session);
  mailimap_free(session);
  std::printf("%llu e-mails, %llu bytes\n", static_cast<unsigned long long>(emails),
              static_cast<unsigned long long>(bytes));
  return 0;
}
