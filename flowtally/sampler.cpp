#include "sampler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace flowtally {

namespace {

constexpr int rx_bytes = 0;
constexpr int rx_packets = 1;
constexpr int tx_bytes = 8;
constexpr int tx_packets = 9;

bool is_rate_field(int k) {
  return k == rx_bytes || k == rx_packets || k == tx_bytes || k == tx_packets;
}

uint64_t name_hash(const char* name, size_t len) {
  uint64_t h = 14695981039346656037ULL;
  for (size_t i = 0; i < len; ++i) {
    h ^= static_cast<unsigned char>(name[i]);
    h *= 1099511628211ULL;
  }
  return h;
}

bool row_is_named(const CounterRow& row, const char* name, size_t len, uint64_t hash) {
  size_t kept = len < kept_name_bytes ? len : kept_name_bytes;
  return row.name_len == len && row.name_hash == hash &&
         memcmp(row.name.data(), name, kept) == 0;
}

void name_row(CounterRow& row, const char* name, size_t len, uint64_t hash) {
  size_t kept = len < kept_name_bytes ? len : kept_name_bytes;
  memcpy(row.name.data(), name, kept);
  row.name_len = len;
  row.name_hash = hash;
}

}  // namespace

bool filter_append(Sampler& s, const char* name) {
  size_t name_len = strlen(name);
  if (s.filter == nullptr) {
    s.filter = static_cast<char*>(malloc(name_len + 3));
    if (s.filter == nullptr) return false;
    snprintf(s.filter, name_len + 3, ",%s,", name);
    s.filter_len = name_len + 2;
    return true;
  }
  char* grown = static_cast<char*>(realloc(s.filter, s.filter_len + name_len + 2));
  if (grown == nullptr) return false;
  s.filter = grown;
  snprintf(s.filter + s.filter_len, name_len + 2, "%s,", name);
  s.filter_len += name_len + 1;
  return true;
}

bool filter_wants(const Sampler& s, const char* name) {
  if (s.filter == nullptr || s.filter[0] == '\0') return true;
  // Both commas in the key keep eth0 from matching eth1 or veth0.  A name of
  // 29 characters or more is cut to fit, and then matches by its start.
  char key[32];
  snprintf(key, 31, ",%s,", name);
  return strstr(s.filter, key) != nullptr;
}

void begin_pass(Sampler& s) { ++s.pass; }

uint64_t counter_diff(uint64_t previous, uint64_t current) {
  if (current >= previous) return current - previous;
  // A counter below 2^32 that went down is a 32-bit counter that wrapped.
  if (previous < (1ULL << 32)) return current + (1ULL << 32) - previous;
  return current - previous;
}

Rate kbit_rate(uint64_t bytes, uint64_t elapsed_ms) {
  if (elapsed_ms == 0) return {0, 0};
  return {bytes * 8 / elapsed_ms, bytes * 80 / elapsed_ms % 10};
}

Rate packet_rate(uint64_t packets, uint64_t elapsed_ms) {
  if (elapsed_ms == 0) return {0, 0};
  return {packets * 1000 / elapsed_ms, packets * 1000 * 10 / elapsed_ms % 10};
}

void sample_line(Sampler& s, char* line, int pos, const PassState& pass) {
  char* colon = strchr(line, ':');
  if (colon == nullptr) return;
  *colon = '\0';
  char* name = line;
  while (*name == ' ' || *name == '\t') ++name;
  if (!filter_wants(s, name)) return;

  print_label(name, pass);

  CounterRow& row = s.rows[static_cast<size_t>(pos)];
  size_t len = strlen(name);
  uint64_t hash = name_hash(name, len);
  // Only counters this interface stored here on the previous pass can be
  // differenced over the elapsed time; a position that held another
  // interface, or none, or was skipped for a pass, prints zero rates.
  bool previous = row.stored_in + 1 == s.pass && row_is_named(row, name, len, hash);
  int previous_fields = previous ? row.fields : 0;
  name_row(row, name, len, hash);
  row.stored_in = s.pass;

  int k = 0;
  for (char* tok = strtok(colon + 1, " \t\n\r"); tok != nullptr && k < max_fields;
       tok = strtok(nullptr, " \t\n\r"), ++k) {
    uint64_t value = strtoull(tok, nullptr, 10);
    size_t col = static_cast<size_t>(k);
    if (!pass.first_pass && is_rate_field(k)) {
      uint64_t d = k < previous_fields ? counter_diff(row.counter[col], value) : 0;
      bool bytes = k == rx_bytes || k == tx_bytes;
      Rate r = bytes ? kbit_rate(d, pass.elapsed_ms) : packet_rate(d, pass.elapsed_ms);
      print_rate(bytes ? Item::kbit_rate : Item::packet_rate, r.whole, r.tenths,
                 pass.line_mode);
    }
    row.counter[col] = value;
  }
  row.fields = k;

  print_row_end(pass.line_mode);
}

}  // namespace flowtally
