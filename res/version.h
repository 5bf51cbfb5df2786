// Program version: written here only. The version records, the manifests'
// assembly versions (CMakeLists.txt reads the four numbers), the main
// dialog's notice, the banner and the release archive's name (scripts/package
// reads the built version record) all come from it.
#pragma once

#define QV_VERSION_MAJOR        2
#define QV_VERSION_MINOR        1
#define QV_VERSION_PATCH        0
#define QV_VERSION_BUILD        0

#define QV_VERSION_NUMBERS      QV_VERSION_MAJOR,QV_VERSION_MINOR,QV_VERSION_PATCH,QV_VERSION_BUILD
#define QV_STRINGIZE_(text)     #text
#define QV_STRINGIZE(text)      QV_STRINGIZE_(text)
#define QV_VERSION_A            QV_STRINGIZE(QV_VERSION_MAJOR.QV_VERSION_MINOR.QV_VERSION_PATCH.QV_VERSION_BUILD)
