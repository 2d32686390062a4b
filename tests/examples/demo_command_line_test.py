"""The pipeline_demo example and scripts/demo from the command line: exit
status, standard output (the document and nothing else) and standard error.

    demo_command_line_test.py PIPELINE_DEMO MODEL_DIR BUILD_DIR

MODEL_DIR is the generated model directory of the whole default pipeline.
scripts/demo runs with BUILD_DIR as its build directory, which is already
configured and built, and with this Python's venv, so that its bootstrap and
build steps have nothing to do.
"""

import os
import subprocess
import sys
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
PROGRAM, MODEL_DIR, BUILD_DIR = sys.argv[1:4]

# What the demo tokenizer makes of "-x y." with no later stage.
TOKENIZED = "# sent_id = 0\n# text = -x y.\n" \
            "1\t-x\t_\t_\t_\t_\t_\t_\t_\tMWT=Yes\n2\ty\t_\t_\t_\t_\t_\t_\t_\tMWT=Yes\n3\t.\t_\t_\t_\t_\t_\t_\t_\t_\n\n"


def run(command, stdin="", env=None):
    done = subprocess.run(command, input=stdin, capture_output=True, text=True, env=env, timeout=300)
    return done.returncode, done.stdout, done.stderr


def usage():
    status, out, err = run([PROGRAM, "--help"])
    assert status == 0 and out.startswith("usage: pipeline_demo ") and err == "", (status, out, err)
    return out


class PipelineDemo(unittest.TestCase):
    def test_rows(self):
        text = ["--processors", "tokenize"]
        missing = str(Path(BUILD_DIR) / "no-such-model-directory")
        # args, stdin, exit status, stdout, stderr (None: checked below)
        rows = [
            ([MODEL_DIR, *text, "-x y."], "", 2, "", "pipeline_demo: unknown option '-x y.'\n" + usage()),
            ([MODEL_DIR, *text, "--", "-x y."], "", 0, TOKENIZED, ""),
            ([MODEL_DIR, *text, "-"], "-x y.", 0, TOKENIZED, ""),
            ([MODEL_DIR, ""], "", 0, "", "pipeline_demo: no sentences\n"),
            ([MODEL_DIR, "-"], " \n\t\n ", 0, "", "pipeline_demo: no sentences\n"),
            ([MODEL_DIR, "--processors", "", "Hi."], "", 2, "",
             "pipeline_demo: --processors needs processor names separated by commas, got ''\n" + usage()),
            ([MODEL_DIR, "--processors", "tokenize,", "Hi."], "", 2, "",
             "pipeline_demo: --processors needs processor names separated by commas, got 'tokenize,'\n" + usage()),
            (["", "Hi."], "", 2, "", "pipeline_demo: the model directory argument is empty\n" + usage()),
            ([MODEL_DIR, "--lang"], "", 2, "", "pipeline_demo: --lang needs a value\n" + usage()),
            ([MODEL_DIR, "a", "b"], "", 2, "", "pipeline_demo: more than one text given\n" + usage()),
            ([], "", 2, "", "pipeline_demo: no model directory given\n" + usage()),
            ([missing, "Hi."], "", 1, "", None),
        ]
        for args, stdin, status, out, err in rows:
            with self.subTest(args=args, stdin=stdin):
                actual = run([PROGRAM, *args], stdin)
                self.assertEqual(actual[:2], (status, out))
                if err is None:
                    self.assertTrue(actual[2].startswith("pipeline_demo: ") and missing in actual[2], actual[2])
                else:
                    self.assertEqual(actual[2], err)

    def test_the_whole_pipeline_writes_every_section(self):
        status, out, err = run([PROGRAM, MODEL_DIR, "Anna lives in Paris. She is happy!"])
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(out.startswith("# sent_id = 0\n# text = Anna lives in Paris.\n1\tAnna\t"), out)
        self.assertIn("\n\n# sent_id = 1\n# text = She is happy!\n", out)
        self.assertIn("# sentiment classes\nsentence 0\tclass ", out)
        self.assertIn("# constituency trees\nsentence 0\t(ROOT ", out)


class DemoScript(unittest.TestCase):
    def demo(self, args, stdin=""):
        # sys.prefix is the venv as this Python was named, often through the
        # checkout's own .venv link: the bootstrap must not turn that link
        # into a loop.
        env = dict(os.environ, LORVANE_BUILD_DIR=BUILD_DIR, LORVANE_VENV=sys.prefix, LORVANE_JOBS="1")
        result = run([str(SOURCE / "scripts" / "demo"), *args], stdin, env)
        if (SOURCE / ".venv").is_symlink():
            self.assertTrue((SOURCE / ".venv" / "bin" / "python").exists(), os.readlink(SOURCE / ".venv"))
        return result

    def test_help_needs_no_setup(self):
        status, out, err = self.demo(["--help", "text"])
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(out.startswith("usage: scripts/demo [OPTION...] [--] [TEXT | -]\n"), out)
        for name in ("LORVANE_BUILD_DIR", "LORVANE_JOBS", "OMP_NUM_THREADS", "LORVANE_VENV"):
            self.assertIn(name, out)

    def test_standard_output_holds_only_the_document(self):
        status, out, err = self.demo(["-"], "Text from a pipe.")
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith("# sent_id = 0\n# text = Text from a pipe.\n1\tText\t"), out)
        self.assertIn("# constituency trees\n", out)
        self.assertIn("bootstrap: ready", err)
        self.assertIn("== demo models:", err)
        self.assertNotIn("bootstrap", out)
        self.assertNotIn("demo models", out)

    def test_a_text_after_the_end_of_options(self):
        self.assertEqual(self.demo(["--processors", "tokenize", "--", "-x y."])[:2], (0, TOKENIZED))

    def test_no_sentences(self):
        status, out, err = self.demo(["-"], "\n \n")
        self.assertEqual((status, out), (0, ""))
        self.assertTrue(err.endswith("pipeline_demo: no sentences\n"), err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
