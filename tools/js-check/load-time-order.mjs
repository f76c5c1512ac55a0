// A part that calls, as the page loads, a function whose body reads a
// `let`, `const` or class of a later part stops the whole script: the call
// itself is fine (function declarations are hoisted), the name it reads is
// not defined yet. no-use-before-define sees only a name read directly at
// load time; this follows the calls made at load time, and the calls those
// make, to the names they read.

const isFunctionNode = (n) =>
  n && (n.type === 'FunctionDeclaration' || n.type === 'FunctionExpression' || n.type === 'ArrowFunctionExpression');

// The scopes whose references run when the scope `fn` runs: its own and its
// blocks', not those of the functions it defines.
function runScopes(fn) {
  const out = [];
  const walk = (s) => {
    out.push(s);
    for (const c of s.childScopes) if (c.variableScope === fn) walk(c);
  };
  walk(fn);
  return out;
}

// Whether a reference is the callee of a call or `new`.
const isCall = (ref) => {
  const id = ref.identifier, p = id.parent;
  return p && (p.type === 'CallExpression' || p.type === 'NewExpression') && p.callee === id;
};

// The function a variable names, when it is one: a declaration, or a
// `const f = () => ...` / `function () {}` initialiser.
function functionOf(variable) {
  const def = variable && variable.defs[0];
  if (!def) return null;
  if (def.type === 'FunctionName') return def.node;
  if (def.type === 'Variable' && def.parent.kind === 'const' && isFunctionNode(def.node.init)) return def.node.init;
  return null;
}

export default {
  meta: {
    type: 'problem',
    docs: { description: 'a call made as the page loads must not reach a name a later part defines' },
    schema: [],
  },
  create(context) {
    const sourceCode = context.sourceCode;
    return {
      'Program:exit'() {
        const manager = sourceCode.scopeManager;
        const global = manager.globalScope;
        // What runs as the page loads: the top level, and a function called
        // where it is written (the one the parts are the body of).
        const loadScopes = [];
        const addLoad = (fn) => {
          for (const s of runScopes(fn)) {
            loadScopes.push(s);
            for (const c of s.childScopes) {
              const b = c.block, p = b.parent;
              if (c.type === 'function' && p && p.type === 'CallExpression' && p.callee === b) addLoad(c);
            }
          }
        };
        addLoad(global);
        const loadSet = new Set(loadScopes);
        // A name declared at load level that is not hoisted with its value.
        const late = (variable) => {
          const def = variable && variable.defs[0];
          if (!def || !loadSet.has(variable.scope)) return false;
          return def.type === 'ClassName' || (def.type === 'Variable' && def.parent.kind !== 'var');
        };
        const scopeOf = (fnNode) => manager.acquire(fnNode);
        for (const scope of loadScopes) {
          for (const ref of scope.references) {
            if (!isCall(ref)) continue;
            const fn = functionOf(ref.resolved);
            if (!fn) continue;
            const at = ref.identifier.range[0];
            // Every function this call runs, and the first name each reads
            // that is declared after the call.
            const seen = new Set();
            const queue = [{ fn, via: [ref.identifier.name] }];
            let found = null;
            while (queue.length && !found) {
              const { fn: f, via } = queue.shift();
              if (seen.has(f)) continue;
              seen.add(f);
              const fs = scopeOf(f);
              if (!fs) continue;
              for (const s of runScopes(fs)) {
                for (const r of s.references) {
                  const v = r.resolved;
                  if (late(v) && v.identifiers[0].range[0] > at) { found = { name: v.name, via }; break; }
                  if (isCall(r)) {
                    const g = functionOf(v);
                    if (g && loadSet.has(v.scope)) queue.push({ fn: g, via: via.concat(v.name) });
                  }
                }
                if (found) break;
              }
            }
            if (found) {
              context.report({
                node: ref.identifier,
                message: `'${ref.identifier.name}' is called as the page loads and reaches '${found.name}' ` +
                  `(through ${found.via.join(' -> ')}), which is declared later: not defined yet at this call`,
              });
            }
          }
        }
      },
    };
  },
};
