#include "support/messages.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/codepage.h"
#include "platform/language.h"

namespace qx {
namespace {

struct Entry {
  uint16_t id;
  const char* text;
};

// Sorted by id.
constexpr Entry kCatalogue[] = {
    {100, "qendix"},
    {101, "qendix-Praxis"},
    {200, "Eine neue Version der Software ist erhältlich. Jetzt upgraden?"},
    {201, "Eine neue Version der Software ist erhältlich: %s"},
    {1000, "ASAS Initialisierung gestartet"},
    {1001, "ASAS Login '%s' ist ungültig. Gültige Logins sind: %s"},
    {1002, "ASAS Login wechseln: "},
    {1003, "ASAS läuft..."},
    {1004, "ASAS läuft nicht..."},
    {1005, "ASAS Initialisierung OK"},
    {1010, "%d Dateien werden bearbeitet"},
    {1020, "Anonymisieren"},
    {1021, "Datei anonymisiert"},
    {1022, "Datei kann nicht anonymisiert werden"},
    {1023, "Datei verschlüsselt"},
    {1030, "Senden"},
    {1031, "Datei übermittelt"},
    {1032, "Keine Verbindung"},
    {1033, "Übermittlung fehlgeschlagen"},
    {1040, "Einlesen"},
    {1050, "Überprüfen"},
    {1051, "Gültiges Dateiformat"},
    {1052, "Unbekanntes Dateiformat"},
    {1053, "Unvollständige Rechnung"},
    {1054, "Doppelte Rechnung"},
    {1055, "Unreferenzierte PDF-Datei"},
    {1056, "Datei ist für ein anderes Trust Center verschlüsselt"},
    {1057, "Verschlüsselte Rechnung kann nicht anonymisiert werden"},
    {1100, "%s gestartet"},
    {1101, "%s abgeschlossen: %d kopiert, %d fehlerhafte Rechnungsdateien"},
    {1102, "Datei erfolgreich kopiert"},
    {1103, "Datei nicht kopiert"},
    {1104, "Keine Datei gefunden"},
    {1105, "Bearbeitung abgebrochen"},
    {1106, "Rechnungsverzeichnis nicht gesetzt"},
    {1107, "Basisverzeichnis nicht gesetzt"},
    {1108, "ASAS Login nicht gesetzt"},
    {1109, "Trust Center nicht gesetzt"},
    {1114, "Unreferenzierte PDF-Datei"},
    {1118, "ASAS nicht installiert"},
    {1120, "Trust Center Rcpt nicht gesetzt"},
    {1121, "Trust Center URL nicht gesetzt"},
    {1122, "Basisverzeichnis ungültig"},
    {1123, "Unerwartete Datei"},
    {1124, "Rechnungsverzeichnis ungültig"},
    {1125, "Register der übermittelten Rechnungen nicht lesbar"},
    {1130, "Aufbewahrungsfrist abgelaufen: %d Dateien entfernt"},
    {1131, "Aufbewahrungsfrist abgelaufen, aber nicht entfernt"},
    {1300, "Vorschau von %s"},
    {1301, "Prüfung: angenommen"},
    {1302, "Prüfung: abgewiesen"},
    {1303, "PDF-Dateien dazu: %s"},
    {1304, "Empfänger beim Trust Center: %s"},
    {1305, "Übertragungsdokument (nichts wurde gesendet; versiegelte Teile sind nur beschrieben):"},
    {1306, "Maskierte, weggelassene oder versiegelte Werte:"},
    {1307, "maskiert als"},
    {1308, "weggelassen"},
    {1309, "versiegelt (Teil %s)"},
    {1310, "unverändert"},
    {1311, "keine"},
    {1312, "Versiegelte Teile:"},
    {1313, "%s Bytes Klartext"},
    {1314, "Text"},
    {1320, "Einstellungen"},
    {1321, "Modulordner"},
    {1322, "Trust Center"},
    {1323, "URL"},
    {1324, "nicht im Verzeichnis"},
    {1325, "Sicherheitsclient"},
    {1326, "installiert"},
    {1327, "nicht installiert"},
    {1328, "läuft"},
    {1329, "läuft nicht"},
    {1330, "ASAS Login"},
    {1331, "bekannt"},
    {1332, "unbekannt"},
    {1333, "Wartende Dateien"},
    {1334, "Fehlerordner von heute"},
    {1335, "fehlt"},
    {1336, "Register der übermittelten Rechnungen"},
    {1337, "%s Einträge, ältester vom %s"},
    {1338, "%s Einträge"},
    {1339, "Letzter Auftrag heute"},
    {1340, "kein Auftrag heute"},
    {1341, "%s Fehler"},
    {1342, "läuft noch oder abgebrochen"},
    {1343, "Rechnungsverzeichnis"},
    {1344, "Basisverzeichnis"},
    {1345, "Optionen"},
    {1346, "ja"},
    {1347, "nein"},
    {1349, "Aktueller Login des Sicherheitsclients"},
    {2100, "QendiX"},
    {2101, "QendiX-Praxis"},
    {2200, "Une nouvelle version de Qendix-Cabinet est prêt. Installer maintenant?"},
    {2201, "Une nouvelle version de Qendix-Cabinet est disponible: %s"},
    {3000, "Initialisation ASAS démarée"},
    {3001, "Login ASAS '%s' est invalide. Logins valides sont: %s"},
    {3002, "Changer le login ASAS: "},
    {3003, "ASAS marche..."},
    {3004, "ASAS ne marche pas..."},
    {3005, "Initialisation ASAS ok"},
    {3010, "%d Fichiers en travail"},
    {3020, "Anonymiser"},
    {3021, "Fichier anonymisé"},
    {3022, "Fichier ne peut pas être anonymisé"},
    {3023, "Fichier codé"},
    {3030, "Envoyer"},
    {3031, "Fichier transmis"},
    {3032, "Pas de connection"},
    {3033, "Transmission échouée"},
    {3040, "Lire"},
    {3050, "Vérifier"},
    {3051, "Format de fichier valide"},
    {3052, "Format de fichier inconu"},
    {3053, "Facture incomplète"},
    {3054, "Facture double"},
    {3055, "Fichier PDF sans référence"},
    {3056, "Fichier crypté pour an autre centre de fiduciaire"},
    {3057, "Facture cryptée ne peut pas être anonymisée"},
    {3100, "%s démarré"},
    {3101, "%s términé: %d copiés, %d erreurs dans les fichiers des factures"},
    {3102, "Fichier copié avec succès"},
    {3103, "Fichier pas copié"},
    {3104, "Aucun fichier trouvé"},
    {3105, "Proces interompu"},
    {3106, "Répertoire de factures non renseigné"},
    {3107, "Répertoire de base non renseigné"},
    {3108, "Login ASAS non renseigné"},
    {3109, "Centre de fiduciaire non"},
    {3114, "Fichier PDF sans référence"},
    {3118, "ASAS non installé"},
    {3120, "Centre de fiduciaire (Rcpt) non renseigné"},
    {3121, "Centre de fiduciaire (URL) non renseigné"},
    {3122, "Répertoire de base invalide"},
    {3123, "Fichier inattendu"},
    {3124, "Répertoire de factures invalide"},
    {3125, "Registre des factures transmises illisible"},
    {3130, "Délai de conservation échu: %d fichiers supprimés"},
    {3131, "Délai de conservation échu, mais pas supprimé"},
    {3300, "Aperçu de %s"},
    {3301, "Vérification: acceptée"},
    {3302, "Vérification: refusée"},
    {3303, "Fichiers PDF joints: %s"},
    {3304, "Destinataires au centre de fiduciaire: %s"},
    {3305,
     "Document de transfert (rien n'a été envoyé; les parties scellées sont seulement décrites):"},
    {3306, "Valeurs masquées, omises ou scellées:"},
    {3307, "masqué en"},
    {3308, "omis"},
    {3309, "scellé (partie %s)"},
    {3310, "inchangé"},
    {3311, "aucune"},
    {3312, "Parties scellées:"},
    {3313, "%s octets en clair"},
    {3314, "texte"},
    {3320, "Paramètres"},
    {3321, "Dossier du module"},
    {3322, "Centre de fiduciaire"},
    {3323, "URL"},
    {3324, "absent du répertoire"},
    {3325, "Client de sécurité"},
    {3326, "installé"},
    {3327, "non installé"},
    {3328, "en marche"},
    {3329, "arrêté"},
    {3330, "Login ASAS"},
    {3331, "connu"},
    {3332, "inconnu"},
    {3333, "Fichiers en attente"},
    {3334, "Dossier d'erreurs d'aujourd'hui"},
    {3335, "absent"},
    {3336, "Registre des factures transmises"},
    {3337, "%s entrées, la plus ancienne du %s"},
    {3338, "%s entrées"},
    {3339, "Dernière tâche aujourd'hui"},
    {3340, "aucune tâche aujourd'hui"},
    {3341, "%s erreurs"},
    {3342, "en cours ou interrompue"},
    {3343, "Répertoire des factures"},
    {3344, "Répertoire de base"},
    {3345, "Options"},
    {3346, "oui"},
    {3347, "non"},
    {3349, "Login actuel du client de sécurité"},
};

const char* Lookup(uint32_t id) {
  auto it = std::lower_bound(std::begin(kCatalogue), std::end(kCatalogue), id,
                             [](const Entry& e, uint32_t key) { return e.id < key; });
  if (it == std::end(kCatalogue) || it->id != id) return nullptr;
  return it->text;
}

std::string Finish(const char* buffer, int written) {
  if (written < 0) return {};
  return TruncateUtf8(buffer, kMaxEventTextBytes);
}

}  // namespace

std::string LoadMessage(uint16_t id) {
  uint32_t key = UserLanguageIsFrench() ? id + 2000u : id;
  const char* text = Lookup(key);
  return text ? std::string(text) : std::string();
}

std::string LoadMessageA(uint16_t id) {
  return TruncateUtf8(LoadMessage(id), 255);
}

std::string FormatEventText(const std::string& format, const std::string& s1) {
  char buffer[1024];
  return Finish(buffer, std::snprintf(buffer, sizeof buffer, format.c_str(), s1.c_str()));
}

std::string FormatEventText(const std::string& format, int d1) {
  char buffer[1024];
  return Finish(buffer, std::snprintf(buffer, sizeof buffer, format.c_str(), d1));
}

std::string FormatEventText(const std::string& format, const std::string& s1, int d1, int d2) {
  char buffer[1024];
  return Finish(buffer, std::snprintf(buffer, sizeof buffer, format.c_str(), s1.c_str(), d1, d2));
}

std::string FillText(const std::string& format, std::initializer_list<std::string> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      if (next != args.end()) out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace qx
