#include "platform/capi/base/error_codes.h"

#include <cstdio>

#include "platform/capi/base/wide_text.h"
#include "platform/code_page.h"

namespace zuntar {
namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct ErrorText {
  DWORD code;
  const char* english;
  const char* russian;  // UTF-8
};

// The texts follow the wording of the system messages for these codes.
constexpr ErrorText kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully.", "Операция успешно завершена."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.", "Не удается найти указанный файл."},
    {ERROR_ACCESS_DENIED, "Access is denied.", "Отказано в доступе."},
    {ERROR_INVALID_HANDLE, "The handle is invalid.", "Неверный дескриптор."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.",
     "Недостаточно памяти для обработки команды."},
    {ERROR_INVALID_DATA, "The data is invalid.", "Недопустимые данные."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.", "Параметр задан неверно."},
    {ERROR_MORE_DATA, "More data is available.", "Имеются дополнительные данные."},
    {ERROR_NO_MORE_ITEMS, "No more data is available.", "Нет больше данных."},
    {ERROR_CANCELLED, "The operation was canceled by the user.", "Операция отменена пользователем."},
    {E_ACCESSDENIED, "Access is denied.", "Отказано в доступе."},
    {E_INVALIDARG, "The parameter is incorrect.", "Параметр задан неверно."},
    {NTE_BAD_UID, "Bad UID.", "Неправильный UID."},
    {NTE_BAD_HASH, "Bad Hash.", "Неправильное хеш-значение."},
    {NTE_BAD_KEY, "Bad Key.", "Неправильный ключ."},
    {NTE_BAD_LEN, "Bad Length.", "Неправильная длина."},
    {NTE_BAD_DATA, "Bad Data.", "Неправильные данные."},
    {NTE_BAD_SIGNATURE, "Invalid Signature.", "Неправильная подпись."},
    {NTE_BAD_ALGID, "Invalid algorithm specified.", "Указан неправильный алгоритм."},
    {NTE_BAD_FLAGS, "Invalid flags specified.", "Указаны неправильные флаги."},
    {NTE_BAD_TYPE, "Invalid type specified.", "Указан неправильный тип."},
    {NTE_BAD_KEY_STATE, "Key not valid for use in specified state.",
     "Ключ не может быть использован в указанном состоянии."},
    {NTE_BAD_HASH_STATE, "Hash not valid for use in specified state.",
     "Хеш-значение не может быть использовано в указанном состоянии."},
    {NTE_NO_KEY, "Key does not exist.", "Ключ не существует."},
    {NTE_EXISTS, "Object already exists.", "Объект уже существует."},
    {NTE_PERM, "Access denied.", "Отказано в доступе."},
    {NTE_BAD_PROV_TYPE, "Invalid provider type specified.", "Указан неправильный тип поставщика."},
    {NTE_BAD_PUBLIC_KEY, "Provider's public key is invalid.", "Неправильный открытый ключ поставщика."},
    {NTE_BAD_KEYSET, "Keyset does not exist", "Набор ключей не существует"},
    {NTE_PROV_TYPE_NOT_DEF, "Provider type not defined.", "Тип поставщика не определен."},
    {NTE_KEYSET_NOT_DEF, "The keyset is not defined.", "Набор ключей не определен."},
    {NTE_PROV_TYPE_NO_MATCH, "Provider type does not match registered value.",
     "Тип поставщика не соответствует зарегистрированному значению."},
    {NTE_PROVIDER_DLL_FAIL, "Provider DLL failed to initialize correctly.",
     "Ошибка инициализации библиотеки поставщика."},
    {NTE_PROV_DLL_NOT_FOUND, "Provider DLL could not be found.", "Не удается найти библиотеку поставщика."},
    {NTE_FAIL, "An internal error occurred.", "Внутренняя ошибка."},
    {NTE_SILENT_CONTEXT, "Provider could not perform the action since the context was acquired as silent.",
     "Поставщик не может выполнить действие, так как контекст был получен в режиме без вывода сообщений."},
    {CRYPT_E_MSG_ERROR, "An error occurred while performing an operation on a cryptographic message.",
     "Ошибка при выполнении операции с криптографическим сообщением."},
    {CRYPT_E_ATTRIBUTES_MISSING, "The cryptographic message does not contain all of the requested attributes.",
     "Криптографическое сообщение не содержит всех запрошенных атрибутов."},
    {CRYPT_E_STREAM_MSG_NOT_READY, "The streamed cryptographic message is not ready to return data.",
     "Потоковое криптографическое сообщение не готово к возврату данных."},
    {CRYPT_E_UNKNOWN_ALGO, "Unknown cryptographic algorithm.", "Неизвестный криптографический алгоритм."},
    {CRYPT_E_INVALID_MSG_TYPE, "Invalid cryptographic message type.", "Неверный тип криптографического сообщения."},
    {CRYPT_E_UNEXPECTED_ENCODING, "Unexpected cryptographic message encoding.",
     "Неожиданная кодировка криптографического сообщения."},
    {CRYPT_E_HASH_VALUE, "The hash value is not correct.", "Неверное значение хеша."},
    {CRYPT_E_INVALID_INDEX, "The index value is not valid.", "Неверное значение индекса."},
    {CRYPT_E_ALREADY_DECRYPTED, "The content of the cryptographic message has already been decrypted.",
     "Содержимое криптографического сообщения уже расшифровано."},
    {CRYPT_E_NOT_DECRYPTED, "The content of the cryptographic message has not been decrypted yet.",
     "Содержимое криптографического сообщения еще не расшифровано."},
    {CRYPT_E_RECIPIENT_NOT_FOUND, "The enveloped-data message does not contain the specified recipient.",
     "Конвертованное сообщение не содержит указанного получателя."},
    {CRYPT_E_CONTROL_TYPE, "Invalid control type.", "Неверный тип управления."},
    {CRYPT_E_SIGNER_NOT_FOUND, "Cannot find the original signer.", "Не удается найти исходного подписавшего."},
    {CRYPT_E_STREAM_INSUFFICIENT_DATA, "The streamed cryptographic message requires more data to complete the decode operation.",
     "Потоковому криптографическому сообщению требуется больше данных для завершения декодирования."},
    {CRYPT_E_NO_SIGNER, "The signed cryptographic message does not have a signer for the specified signer index.",
     "Подписанное криптографическое сообщение не содержит подписавшего с указанным индексом."},
    {CRYPT_E_BAD_ENCODE, "An error occurred during encode or decode operation.",
     "Ошибка при кодировании или декодировании."},
    {CRYPT_E_NOT_FOUND, "Cannot find object or property.", "Не удается найти объект или свойство."},
    {CRYPT_E_EXISTS, "The object or property already exists.", "Объект или свойство уже существует."},
    {CRYPT_E_NO_KEY_PROPERTY, "Cannot find the certificate and private key for decryption.",
     "Не удается найти сертификат и закрытый ключ для расшифровки."},
    {CRYPT_E_ASN1_EOD, "ASN1 unexpected end of data.", "ASN1 непредвиденный конец данных."},
    {CRYPT_E_ASN1_CORRUPT, "ASN1 corrupted data.", "ASN1 поврежденные данные."},
    {CRYPT_E_ASN1_BADTAG, "ASN1 bad tag value met.", "ASN1 обнаружено неверное значение тега."},
    {SCARD_E_NO_SUCH_CERTIFICATE, "The requested certificate does not exist.", "Запрошенный сертификат не существует."},
    {SCARD_W_WRONG_CHV, "The card cannot be accessed because the wrong PIN was presented.",
     "Доступ к карте невозможен, так как указан неверный ПИН-код."},
    {SCARD_W_CANCELLED_BY_USER, "The action was cancelled by the user.", "Действие было отменено пользователем."},
};

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

std::string SysErrorMessage(DWORD code) {
  const bool russian = AnsiCodePage() == kCodePage1251;
  for (const ErrorText& t : kTexts) {
    if (t.code != code) continue;
    if (!russian) return t.english;
    // The table is UTF-8; the program's texts are in the ANSI code page.
    return CodePageFromWide(kCodePage1251, Utf16FromUtf8(t.russian));
  }
  char buffer[96];
  std::snprintf(buffer, sizeof buffer,
                russian ? "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xE0\xFF \xEE\xF8\xE8\xE1\xEA\xE0 0x%08X." :
                          "Unknown error 0x%08X.",
                code);
  return buffer;
}

}  // namespace zuntar
