# widl describes an [out] pointer to a unique pointer (`[out, string] wchar_t** p`) by the type
# offset of the inner FC_UP, where MIDL gives the FC_RP [allocated_on_stack] [pointer_deref]
# in front of it. With widl's offset the NDR engine takes the out parameter's own address for
# the unique pointer: the bytes of the pointer travel as the string, and a real service's
# answer is written over the caller's pointer. This rewrites each listed type offset to that of
# the FC_RP, four bytes before it, the form MIDL emits and the wire expects.
#   cmake -DFILE=<generated .c> -DOFFSETS="14;22" -P FixWidlOutPointers.cmake
file(READ "${FILE}" text)
foreach(offset IN LISTS OFFSETS)
  math(EXPR ref "${offset} - 4")
  math(EXPR hex "${offset}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR refhex "${ref}" OUTPUT_FORMAT HEXADECIMAL)
  set(pattern "NdrFcShort(${hex}),\t/* type offset = ${offset} */")
  string(FIND "${text}" "${pattern}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${FILE}: no parameter with type offset ${offset}: widl's output has changed")
  endif()
  string(REPLACE "${pattern}" "NdrFcShort(${refhex}),\t/* type offset = ${ref} (the FC_RP) */" text "${text}")
endforeach()
file(WRITE "${FILE}" "${text}")
