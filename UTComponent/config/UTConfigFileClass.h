// Which of the three settings files something belongs to: the one set of
// values that items, files and the kept parses all use.
#ifndef TVUT_CONFIG_UTCONFIGFILECLASS_H
#define TVUT_CONFIG_UTCONFIGFILECLASS_H

enum UTConfigFileClass {
    UT_FILE_NONE = -1,   // an item kept in no file
    UT_FILE_PI_UI = 0,   // machine-wide, all products and users
    UT_FILE_PI_UD = 2,   // per user, all products
    UT_FILE_PRODUCT = 3  // per user and product
};

#endif  // TVUT_CONFIG_UTCONFIGFILECLASS_H
