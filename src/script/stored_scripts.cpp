#include "script/stored_scripts.h"

QByteArray PwdChkScript() {
    return R"php(<?
// Password rule: ASCII letters and digits only, at least 7 characters, at least one digit.
$err = '';
$p = isset($pwd) ? (string)$pwd : '';
$alnum = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789';
if (strspn($p, $alnum) != strlen($p)) {
    $err = 'Password should contain only letters (A-Z, a-z) and numerals (0-9)';
} elseif (strlen($p) < 7) {
    $err = 'Password should be at least 7 characters long';
} elseif (strpbrk($p, '0123456789') === false) {
    $err = 'Password should contain at least one numeral';
}
?>)php";
}

QByteArray GfmScript() {
    return R"php(<?
// A file mask selects files inside one folder; * and ? are wildcards, all else is literal.
$err = '';
$m = isset($fm) ? (string)$fm : '';
if (trim($m, " \t\n\r\x0B\x0C") === '') {
    $err = 'File mask is empty';
} elseif (strpos($m, "\0") !== false) {
    $err = 'File mask should not contain a NUL character';
} elseif (strpos($m, '/') !== false) {
    $err = 'File mask should not contain "/": it selects files inside one folder';
} elseif ($m === '.' || $m === '..') {
    $err = 'File mask should not be "." or "..": these name folders, not files';
} elseif (strlen(str_replace('*', '', $m)) > 255) {
    // Every character but * stands for at least one byte of the name.
    $err = 'File mask is too long: a file name has at most 255 bytes';
}
?>)php";
}

QList<QPair<QByteArray, QByteArray>> ShippedScripts() {
    return {{"gfm", GfmScript()}, {"pwdchk", PwdChkScript()}};
}
