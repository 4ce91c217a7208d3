// Texts of the Kerberos 4 status codes that this library returns.
#include "krb.h"

extern "C" const char* krb_get_err_text(int code) {
    switch (code) {
    case KSUCCESS:
        return "Kerberos successful";
    case NO_TKT_FIL:
        return "No ticket file (tf_util)";
    case TKT_FIL_ACC:
        return "Couldn't access ticket file (tf_util)";
    case TKT_FIL_LCK:
        return "Couldn't lock ticket file (tf_util)";
    case TKT_FIL_FMT:
        return "Bad ticket file format (tf_util)";
    case TKT_FIL_INI:
        return "tf_init not called first (tf_util)";
    case KNAME_FMT:
        return "Bad Kerberos name format (kname_parse)";
    case KFAILURE:
        return "Generic kerberos error (kfailure)";
    default:
        return "Unknown Kerberos error code";
    }
}
