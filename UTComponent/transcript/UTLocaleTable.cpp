#include "transcript/UTLocaleTable.h"

#include <cctype>

#include "base/UTStringFormater.h"

namespace {

struct LocaleEntry {
    const char* name;  // language_TERRITORY; a language's main locale comes first
    int lcid;
};

const LocaleEntry kLocales[] = {
    {"en_US", 1033},  {"en_GB", 2057},  {"en_AU", 3081},  {"en_CA", 4105},  {"en_NZ", 5129},
    {"en_IE", 6153},  {"en_ZA", 7177},  {"en_IN", 16393}, {"en_SG", 18441}, {"de_DE", 1031},
    {"de_CH", 2055},  {"de_AT", 3079},  {"de_LU", 4103},  {"de_LI", 5127},  {"fr_FR", 1036},
    {"fr_BE", 2060},  {"fr_CA", 3084},  {"fr_CH", 4108},  {"fr_LU", 5132},  {"it_IT", 1040},
    {"it_CH", 2064},  {"es_ES", 3082},  {"es_MX", 2058},  {"es_AR", 11274}, {"es_CO", 9226},
    {"es_CL", 13322}, {"es_US", 21514}, {"pt_BR", 1046},  {"pt_PT", 2070},  {"nl_NL", 1043},
    {"nl_BE", 2067},  {"ja_JP", 1041},  {"ko_KR", 1042},  {"zh_CN", 2052},  {"zh_TW", 1028},
    {"zh_HK", 3076},  {"zh_SG", 4100},  {"ru_RU", 1049},  {"uk_UA", 1058},  {"pl_PL", 1045},
    {"cs_CZ", 1029},  {"sk_SK", 1051},  {"hu_HU", 1038},  {"ro_RO", 1048},  {"bg_BG", 1026},
    {"hr_HR", 1050},  {"sl_SI", 1060},  {"el_GR", 1032},  {"tr_TR", 1055},  {"he_IL", 1037},
    {"ar_SA", 1025},  {"ar_EG", 3073},  {"th_TH", 1054},  {"vi_VN", 1066},  {"id_ID", 1057},
    {"ms_MY", 1086},  {"hi_IN", 1081},  {"sv_SE", 1053},  {"sv_FI", 2077},  {"da_DK", 1030},
    {"nb_NO", 1044},  {"no_NO", 1044},  {"nn_NO", 2068},  {"fi_FI", 1035},  {"is_IS", 1039},
    {"et_EE", 1061},  {"lv_LV", 1062},  {"lt_LT", 1063},  {"ca_ES", 1027},  {"eu_ES", 1069},
    {"gl_ES", 1110},
};

// "de_DE.UTF-8@euro" -> "de_DE", "EN-us" -> "en_US".
std::string Normalise(const std::string& name) {
    std::string result;
    bool territory = false;
    for (char c : name) {
        if (c == '.' || c == '@') {
            break;
        }
        if (c == '-' || c == '_') {
            territory = true;
            result += '_';
            continue;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        result += static_cast<char>(territory ? std::toupper(u) : std::tolower(u));
    }
    return result;
}

}  // namespace

int CUTLocaleTable::LocaleId(const std::string& locale_name) {
    const std::string name = Normalise(locale_name);
    if (name.empty() || name == "c" || name == "posix") {
        return 1033;
    }
    const bool bare_language = name.find('_') == std::string::npos;
    for (const LocaleEntry& entry : kLocales) {
        const std::string known = entry.name;
        if (bare_language ? known.compare(0, name.size() + 1, name + "_") == 0 : known == name) {
            return entry.lcid;
        }
    }
    return 0;
}

std::wstring CUTLocaleTable::LocaleIdText(const std::string& locale_name) {
    return IntToWString(LocaleId(locale_name));
}
