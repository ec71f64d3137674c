// Imported by module.mjs: a module may load further modules by relative URL.
export function greeting() {
  return "module script ran";
}
