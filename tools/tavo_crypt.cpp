// tavo_crypt: encrypts or decrypts with the server's fixed key, in the forms the server uses.
//   tavo_crypt encrypt-string TEXT|-      Base64 of the encrypted text (e.g. SMSPASSWORD)
//   tavo_crypt decrypt-string BASE64|-    the plain text of such a value
//   tavo_crypt encrypt-file IN OUT        the form of the SMS message files
//   tavo_crypt decrypt-file IN OUT
// "-" reads the text from the first line of standard input, so a password need not appear in
// the process list. Text on the command line and the terminal is UTF-8; the cipher works on its
// Windows-1252 form, as the server does.
#include <iostream>
#include <string>

#include "common/Win1252.h"
#include "sms/LbClass.h"
#include "sms/ServerKey.h"

namespace {

int Usage() {
  std::cerr << "usage: tavo_crypt encrypt-string TEXT|-\n"
               "       tavo_crypt decrypt-string BASE64|-\n"
               "       tavo_crypt encrypt-file IN OUT\n"
               "       tavo_crypt decrypt-file IN OUT\n";
  return 2;
}

std::string TextArg(const std::string& arg) {
  if (arg != "-") return arg;
  std::string line;
  std::getline(std::cin, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string cmd = argv[1];
  tavo::TLbBlowfish cipher;
  cipher.SetKey(tavo::MakeServerKey());
  try {
    if (cmd == "encrypt-string" && argc == 3) {
      std::cout << cipher.EncryptString(tavo::Utf8ToAnsi(TextArg(argv[2]))) << "\n";
    } else if (cmd == "decrypt-string" && argc == 3) {
      std::cout << tavo::AnsiToUtf8(cipher.DecryptString(TextArg(argv[2]))) << "\n";
    } else if (cmd == "encrypt-file" && argc == 4) {
      cipher.EncryptFile(argv[2], argv[3]);
    } else if (cmd == "decrypt-file" && argc == 4) {
      cipher.DecryptFile(argv[2], argv[3]);
    } else {
      return Usage();
    }
  } catch (const std::exception& e) {
    std::cerr << "tavo_crypt: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
