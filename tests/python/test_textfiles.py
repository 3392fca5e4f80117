"""Box files, flag files, weights and tracker lists, and the benchmark folder layouts."""

import math

import numpy as np
import pytest

from velmora import metrics, textfiles


def write(path, text, newline="\n"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text.replace("\n", newline).encode())
    return path


def bits(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


class TestReadBoxes:
    def test_messy_separators_and_number_forms(self, tmp_path):
        path = write(tmp_path / "s.txt",
                     "1,2,3,4\n"
                     "1.5\t2.25\t30\t40\n"
                     "  -1   2  3e1 4E-1 \n"
                     "1 ,2,\t3 , 4\n"
                     ".5,5.,+6,-0\n")
        np.testing.assert_array_equal(textfiles.read_boxes(path), [[1, 2, 3, 4], [1.5, 2.25, 30, 40], [-1, 2, 30, 0.4],
                                                             [1, 2, 3, 4], [0.5, 5, 6, 0]])

    @pytest.mark.parametrize("newline", ["\n", "\r\n"])
    @pytest.mark.parametrize("ending", ["", "\n", "\n\n  \n"])
    def test_line_ends_and_final_newline_do_not_matter(self, tmp_path, newline, ending):
        path = write(tmp_path / "s.txt", "1,2,3,4\n5,6,7,8" + ending, newline)
        np.testing.assert_array_equal(textfiles.read_boxes(path), [[1, 2, 3, 4], [5, 6, 7, 8]])

    def test_lost_frames_are_kept_in_place(self, tmp_path):
        path = write(tmp_path / "s.txt", "1,2,3,4\nNaN,nan,NAN,-nan\n0,0,0,0\n5,6,7,8\n")
        boxes = textfiles.read_boxes(path)
        assert boxes.shape == (4, 4)
        assert np.isnan(boxes[1]).all()
        np.testing.assert_array_equal(boxes[[0, 2, 3]], [[1, 2, 3, 4], [0, 0, 0, 0], [5, 6, 7, 8]])
        np.testing.assert_array_equal(metrics.lost_frames(boxes), [False, True, True, False])

    def test_numbers_are_read_exactly(self, tmp_path):
        path = write(tmp_path / "s.txt", "0.1,123.456789012345678,1e-300,9007199254740993\n")
        assert textfiles.read_boxes(path)[0].tolist() == [0.1, 123.456789012345678, 1e-300, 9007199254740993.0]

    @pytest.mark.parametrize("text, line", [
        ("1,2,3,4\n1,2,3\n", 2),
        ("1,2,3,4,5\n", 1),
        ("1,,2,3,4\n", 1),
        ("1,2,3,x\n", 1),
        ("1;2;3;4\n", 1),
        ("1,2,3,inf\n", 1),
        ("1,2,3,1_0\n", 1),
        ("1,2,3,4\n\n5,6,7,8\n", 2),
        ("1,2,3,4\r5,6,7,8\n", 1),
    ])
    def test_an_unreadable_line_names_file_and_line(self, tmp_path, text, line):
        path = write(tmp_path / "bad.txt", text)
        with pytest.raises(textfiles.InputError, match=rf"^{path}:{line}: "):
            textfiles.read_boxes(path)

    def test_missing_and_binary_files_are_errors_naming_them(self, tmp_path):
        with pytest.raises(textfiles.InputError, match=r"nothere\.txt: cannot read"):
            textfiles.read_boxes(tmp_path / "nothere.txt")
        path = tmp_path / "bin.txt"
        path.write_bytes(b"1,2,3,4\n\xff\xfe\n")
        with pytest.raises(textfiles.InputError, match=r"bin\.txt:2: not a text file"):
            textfiles.read_boxes(path)

    def test_empty_file_has_no_boxes(self, tmp_path):
        assert textfiles.read_boxes(write(tmp_path / "e.txt", "")).shape == (0, 4)


class TestWriteBoxes:
    def test_float32_round_trip_is_exact(self, tmp_path):
        rng = np.random.default_rng(7)
        boxes = np.concatenate([
            rng.uniform(-1000, 1000, (200, 4)),
            rng.standard_normal((50, 4)) * 1e-30,
            [[0.1, 1 / 3, 16777217, -0.0], [1.4e-45, 3.4e38, 1e-7, 123456.789]],
        ]).astype(np.float32)
        boxes[7] = np.nan
        path = tmp_path / "f.txt"
        path.write_text(textfiles.format_boxes(boxes))
        back = textfiles.read_boxes(path)
        np.testing.assert_array_equal(bits(back), bits(boxes))

    def test_float64_round_trip_is_exact(self, tmp_path):
        boxes = np.random.default_rng(8).uniform(-1e6, 1e6, (100, 4))
        boxes[3] = [0.1, 1 / 3, 2 ** 0.5, 1e-310]
        path = tmp_path / "d.txt"
        path.write_text(textfiles.format_boxes(boxes))
        assert textfiles.read_boxes(path).tolist() == boxes.tolist()

    def test_written_form_is_comma_separated_and_short(self, tmp_path):
        boxes = np.array([[101.49, 12, -0.5, np.nan]], dtype=np.float32)
        assert textfiles.format_boxes(boxes) == "101.49,12.0,-0.5,nan\n"

    def test_a_text_that_does_not_read_back_falls_back_to_the_exact_double(self, monkeypatch):
        # Stand in for a shortest-form printer that gets a value wrong: the check must catch it.
        monkeypatch.setattr(textfiles, "_shortest32", lambda v: "%.3g" % v)
        boxes = np.array([[1.25, 101.49, 0.1, 7]], dtype=np.float32)
        text = textfiles.format_boxes(boxes)
        # "101" does not read back as 101.49f and is replaced; the other three texts are right.
        assert text == "1.25,101.48999786376953,0.1,7\n"
        back = np.array(text.strip().split(","), dtype=np.float64).astype(np.float32)
        np.testing.assert_array_equal(bits(back), bits(boxes[0]))

    def test_shape_is_checked(self):
        with pytest.raises(ValueError):
            textfiles.format_boxes(np.zeros((3, 5)))


class TestFlags:
    @pytest.mark.parametrize("text", ["0\n1\n0\n0\n", "0,1,0,0", "0 1\r\n0 0\r\n", "0.0,1.0,0,0\n"])
    def test_forms(self, tmp_path, text):
        np.testing.assert_array_equal(textfiles.read_flags(write(tmp_path / "f.txt", text)),
                                      [False, True, False, False])

    def test_other_values_are_errors(self, tmp_path):
        with pytest.raises(textfiles.InputError, match=r"f\.txt:2: .*'2'"):
            textfiles.read_flags(write(tmp_path / "f.txt", "0\n2\n"))


class TestWeightsAndNames:
    def test_weights_round_trip(self, tmp_path):
        weights = np.array([27.813369, 0.1, 8.6587], dtype=np.float32)
        path = tmp_path / "w.txt"
        path.write_text(textfiles.format_weights(["A", "Siam RPN++", "C"], weights, comment="learnt"))
        back = textfiles.read_weights(path)
        assert list(back) == ["A", "Siam RPN++", "C"]
        np.testing.assert_array_equal(bits(list(back.values())), bits(weights))

    @pytest.mark.parametrize("text, message", [
        ("A\t1\nB\n", r"w\.txt:2: cannot read 'B'"),
        ("A\tx\n", r"w\.txt:1: "),
        ("A\tnan\n", r"w\.txt:1: "),
        ("A 1\nA 2\n", r"w\.txt:2: tracker 'A' has a second weight"),
        ("# nothing\n", r"w\.txt: no weights"),
    ])
    def test_bad_weights(self, tmp_path, text, message):
        with pytest.raises(textfiles.InputError, match=message):
            textfiles.read_weights(write(tmp_path / "w.txt", text))

    def test_names_round_trip_and_errors(self, tmp_path):
        path = tmp_path / "n.txt"
        path.write_text(textfiles.format_names(["DiMP", "ATOM"], comment="kept"))
        assert textfiles.read_names(path) == ["DiMP", "ATOM"]
        with pytest.raises(textfiles.InputError, match=r"n\.txt:3: tracker 'A' is listed twice"):
            textfiles.read_names(write(path, "A\n# c\nA\n"))
        with pytest.raises(textfiles.InputError, match="no tracker names"):
            textfiles.read_names(write(path, "\n"))


def test_exact_double_text_reads_back():
    for v in [0.1, 1 / 3, 5e-324, 1.7976931348623157e308]:
        assert float(textfiles._format_number(v)) == v
    assert textfiles._format_number(math.nan) == "nan"
