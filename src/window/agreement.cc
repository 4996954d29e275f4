// The licence agreement shown on the first page.
#include <string>

#include "window/fd.h"

namespace kvt {
namespace {

constexpr char kTitle[] = "KVTsoft软件产品许可协议";
constexpr char kSection1[] = "一、软件使用协议";
constexpr char kParties[] =
    "本协议是用户 (自然人、法人或社会团体）与KVTsoft软件作者之间就KVTsoft软件产品的使用所订立的"
    "法律协议。一旦安装、复制或以其他方式使用本软件产品，即表示您同意接受本协议各项条款的约束；"
    "如果您不同意本协议的条款，请不要安装或使用本软件产品。";
constexpr char kSection2[] = "二、软件产品保护条款";
constexpr char kTerms[7][512] = {
    "（1）KVTsoft软件产品之著作权及其它知识产权等相关权利或利益（包括但不限于现已取得或未来可取得"
    "之著作权、专利权、商标权、营业秘密等）皆为KVTsoft软件作者所有。用户仅取得本软件产品的非独占"
    "使用权。",
    "（2）用户不得：删除本软件及其他副本上一切关于版权的信息；对本软件进行反向工程，如反汇编、"
    "反编译等。",
    "（3）KVTsoft软件产品以现状方式提供，作者不保证本软件能够满足用户的全部需求；随附的说明文档"
    "仅供参考。作者有权对本软件进行升级、变更，并可在用户使用时自动更新。",
    "（4）为了更好地服务于用户，本软件产品可能收集用户的部分使用信息；作者承诺不会将这些信息"
    "提供给任何第三方。",
    "（5）使用KVTsoft软件产品由用户自己承担风险。在适用法律允许的最大范围内，作者不对因使用或"
    "不能使用本软件所产生的任何直接或间接损失承担赔偿责任。",
    "（6）作者定义的信息内容包括：文字、软件、声音、商业信息等，均受著作权法及其他相关法律的"
    "保护；用户只有在获得作者授权之后才能使用这些内容。",
    "（7）如果您未遵守本协议的任何一项条款，作者有权立即终止本协议，并保留通过法律途径追究"
    "您的法律责任的权利。",
};
constexpr char kInterpretation[] =
    "三、作者具有对以上各项条款内容的最终解释权和修改权。修改后的条款一经公布即生效；如果您在"
    "条款修改后继续使用本软件产品，即视为您已接受修改后的条款。";
constexpr char kDisputes[] =
    "四、因本协议所发生的纠纷，适用中华人民共和国法律，由有管辖权的机关依法解决。";
constexpr char kAuthor[] = "KVTsoft软件作者：KVT记账宝开发组";
constexpr char kContact[] = "QQ：800012345    E-mail：support@kvtsoft.com";

}  // namespace

std::string AgreementText() {
  const std::string crlf = "\r\n";
  std::string text = std::string(kTitle) + crlf + crlf + kSection1 + crlf + kParties + crlf +
                     kSection2 + crlf;
  for (const char* term : kTerms) text += std::string(term) + crlf;
  text += std::string(kInterpretation) + crlf + kDisputes + crlf + crlf + kAuthor + crlf + kContact;
  return text;
}

}  // namespace kvt
