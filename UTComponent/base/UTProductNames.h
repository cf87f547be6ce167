// The names under which tvUT keeps its files on every system: the company and
// component folders below the machine and user data roots. Constants only.
#ifndef TVUT_BASE_UTPRODUCTNAMES_H
#define TVUT_BASE_UTPRODUCTNAMES_H

inline constexpr wchar_t kCompanyFolderName[] = L"Telvoran";
inline constexpr wchar_t kComponentFolderName[] = L"TVUT";

#endif  // TVUT_BASE_UTPRODUCTNAMES_H
