// The built-in pass phrases, one per purpose. Changing one makes every file
// and peer of that purpose unreadable, so they are fixed for good.
#include <stdexcept>

#include "formats/cipher.h"

namespace kv {
namespace {

// clang-format off
constexpr char kRemoteAdmin[] =
    "Fernwartung \xFC" "ber den Br\xFC" "ckenkopf: Post \xD8" "lund meldet 7 Sp\xE4" "her, 3 F\xE4"
    "sser \xD6" "l. \xBF" "Gr\xFC" "n? \xAB" "Nein\xBB";
constexpr char kSetupExport[] =
    "Koffer packen: Karten, Regeln, Gr\xFC" "\xDF" "e an die Kantine; \xBD" " Liter Kaffee & 2 \xC4"
    "pfel je Schicht \xB1" "0 Fehler";
constexpr char kPlayerHistory[] =
    "Chronik der Frontschweine: Wer fiel bei Carentan, wer schoss zur\xFC"
    "ck? Jede Kerbe am Kolben z\xE4" "hlt doppelt, \xB5" "-genau im Buch 1944/\xA7" "12a.";
constexpr char kUpdateService[] =
    "Nachschub kommt per Lastwagen aus L\xFC" "beck; Siegel intakt, Fahrer J\xFC" "rgen raucht \xBC"
    " Schachtel Zigarren. Ankunft \xA9" " Punkt Zw\xF6" "lf \xB1" "5m.";
constexpr char kSettings[] =
    "Schreibstube: Vorschriften in Tinte, Passw\xF6" "rter im Tresor, Schl\xFC"
    "ssel bei Feldwebel Gr\xF6" "\xDF" "ner (Zimmer \xB3" "b). Nie \xC4" "NDERN!!!";
// clang-format on

template <size_t N>
constexpr std::string_view Phrase(const char (&s)[N]) {
  return std::string_view(s, N - 1);
}

static_assert(Phrase(kRemoteAdmin).size() == 88);
static_assert(Phrase(kSetupExport).size() == 98);
static_assert(Phrase(kPlayerHistory).size() == 131);
static_assert(Phrase(kUpdateService).size() == 126);
static_assert(Phrase(kSettings).size() == 117);

}  // namespace

std::string_view PassPhrase(TCipherPurpose purpose) {
  switch (purpose) {
    case TCipherPurpose::RemoteAdmin: return Phrase(kRemoteAdmin);
    case TCipherPurpose::SetupExport: return Phrase(kSetupExport);
    case TCipherPurpose::PlayerHistory: return Phrase(kPlayerHistory);
    case TCipherPurpose::UpdateService: return Phrase(kUpdateService);
    case TCipherPurpose::Settings: return Phrase(kSettings);
  }
  throw std::invalid_argument("unknown cipher purpose");
}

}  // namespace kv
