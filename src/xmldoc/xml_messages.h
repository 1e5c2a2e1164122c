// Messages of the XML document module. They are kept as UTF-16 texts and
// reach callers as host text (Msg converts them).
#pragma once

#include <string>

namespace tabulon::xmlmsg {

inline constexpr char16_t kListIndex[] = u"Ошибка получения элемента списка: индекс выходит за пределы";
inline constexpr char16_t kNameStart[] = u"Имя должно начинаться с буквы или \"_\" (стр. %d, поз. %d)";
inline constexpr char16_t kElementIncomplete[] = u"Не завершено определение элемента";
inline constexpr char16_t kBadNameChar[] = u"Некорретный символ в имени элемента";
inline constexpr char16_t kExpectedAttrValue[] = u"Ожидается значение атрибута (стр. %d, поз. %d)";
inline constexpr char16_t kExpectedString[] = u"Ожидается строковая константа (стр. %d, поз. %d)";
inline constexpr char16_t kLessInAttr[] =
    u"Символ \"<\" не может использоваться в значениях атрибутов (стр. %d, поз. %d)";
inline constexpr char16_t kExpected[] = u"Ожидается \"%s\" (стр. %d, поз. %d)";
inline constexpr char16_t kExpectedNumber[] = u"Ожидается число (стр. %d, поз. %d)";
inline constexpr char16_t kExpectedHex[] = u"Ожидается шестнадцатеричное число (стр. %d, поз. %d)";
inline constexpr char16_t kBadEntityName[] = u"Некорректное имя управляющего символа (стр. %d, поз. %d)";
inline constexpr char16_t kExpectedHashOrName[] = u"Ожидается \"#\" или имя упрамляющего символа (стр. %d, поз. %d)";
inline constexpr char16_t kTooDeep[] = u"Слишком глубокая вложенность элементов (стр. %d, поз. %d)";
inline constexpr char16_t kBinaryNodeType[] = u"Ошибка чтения двоичного XML: некорректный тип узла";
inline constexpr char16_t kReadError[] = u"Ошибка чтения данных.";
inline constexpr char16_t kNotSupported[] = u"Данная возможность не поддерживается: \"%s\" не является именем элемента";

inline constexpr char kConvertError[] = "Could not convert variant of type (%s) into type (%s)";
inline constexpr char kOverflowError[] = "Overflow while converting variant of type (%s) into type (%s)";

// The message as host text.
std::string Msg(const char16_t* message);

}  // namespace tabulon::xmlmsg
