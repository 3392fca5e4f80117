"""The result and annotation layouts of the community's toolkits, on fixture trees built here."""

import pytest

from velmora import layouts
from velmora.textfiles import InputError


def touch(path, text=""):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def trackers(*paths, dataset=None):
    return {t.name: t for t in layouts.find_results([str(p) for p in paths], dataset).trackers}


def test_sequence_keys_ignore_case_and_separators():
    key = layouts.sequence_key
    assert key("Jogging-1") == key("jogging.1") == key("JOGGING_1")
    assert key("car1") != key("car-1")


class TestResults:
    def test_plain_tracker_folder_skips_companion_files(self, tmp_path):
        for name in ["Basketball.txt", "car_1.txt", "car_1_time.txt", "car_1_object_presence_scores.txt",
                     "lonely_time.txt", "notes.md", ".hidden.txt", "list.txt"]:
            touch(tmp_path / "A" / name)
        (tmp_path / "A" / "sub.txt").mkdir()
        found = trackers(tmp_path / "A")["A"]
        # Companions of car_1 are no sequences; a timing log without its box file is one.
        assert found.layout == "plain" and sorted(found.sequences) == ["basketball", "car-1", "lonely-time"]
        assert found.sequences["car-1"].runs == [str(tmp_path / "A" / "car_1.txt")]
        assert found.sequences["car-1"].times == [str(tmp_path / "A" / "car_1_time.txt")]
        touch(tmp_path / "A" / "Car-1.txt")
        with pytest.raises(InputError, match="'Car-1' and 'car_1'"):
            trackers(tmp_path / "A")

    def test_results_roots_and_tracker_folders(self, tmp_path):
        for tracker in ["DiMP", "ATOM_tracking_result"]:
            touch(tmp_path / "root" / tracker / "a.txt")
        (tmp_path / "root" / "empty").mkdir()
        touch(tmp_path / "Fused" / "a.txt")
        assert list(trackers(tmp_path / "root", str(tmp_path / "Fused") + "/")) == ["ATOM", "DiMP", "Fused"]
        with pytest.raises(InputError, match="tracker name 'DiMP'"):
            trackers(tmp_path / "root", tmp_path / "root" / "DiMP")
        with pytest.raises(InputError, match="no result files found in any layout"):
            trackers(tmp_path / "root" / "empty")
        with pytest.raises(InputError, match="no such folder"):
            trackers(tmp_path / "nowhere")

    def test_got10k_repetitions_and_timing(self, tmp_path):
        for seq in ["GOT-10k_Val_000001", "GOT-10k_Val_000002"]:
            for k in (1, 2, 3):
                touch(tmp_path / "SiamFC" / seq / f"{seq}_{k:03d}.txt")
            touch(tmp_path / "SiamFC" / seq / f"{seq}_time.txt")
        for root in (tmp_path, tmp_path / "SiamFC"):  # as a results root and as a tracker folder
            found = trackers(root)["SiamFC"]
            assert found.layout == "GOT-10k" and found.repetitions == 3
            result = found.sequences["got-10k-val-000002"]
            assert [p.rsplit("/", 1)[1] for p in result.runs] == [f"GOT-10k_Val_000002_{k:03d}.txt" for k in (1, 2, 3)]
            assert result.times[0].endswith("GOT-10k_Val_000002_time.txt")

    def test_vot_baseline(self, tmp_path):
        touch(tmp_path / "res" / "KCF" / "baseline" / "ball1" / "ball1_001.txt")
        touch(tmp_path / "res" / "KCF" / "baseline" / "ball1" / "ball1_002.txt")
        found = trackers(tmp_path / "res")["KCF"]
        assert found.layout == "VOT" and found.repetitions == 2 and list(found.sequences) == ["ball1"]

    def test_pytracking_parameters_runs_and_prefixes(self, tmp_path):
        root = tmp_path / "tracking_results"
        for run in ("dimp50_000", "dimp50_001"):
            for name in ("nfs_Gymnastics.txt", "nfs_Gymnastics_time.txt", "nfs_Gymnastics_object_presence_scores.txt"):
                touch(root / "dimp" / run / name)
        for parameter in ("default", "fast"):
            touch(root / "atom" / parameter / "nfs_Gymnastics.txt")
        found = trackers(root)
        assert sorted(found) == ["atom_default", "atom_fast", "dimp"]
        dimp = found["dimp"]
        assert dimp.layout == "pytracking" and dimp.repetitions == 2 and dimp.prefix == "nfs_"
        assert list(dimp.sequences) == ["gymnastics"] and dimp.sequences["gymnastics"].name == "Gymnastics"
        # A tracker folder given on its own, with numbered runs, is one tracker too.
        assert list(trackers(root / "dimp")) == ["dimp"]

    def test_a_mixed_nfs_collection(self, tmp_path):
        # As published: run folders, flat files with and without the prefix, a single sub-folder.
        root = tmp_path / "nfs"
        touch(root / "A" / "A_000" / "nfs_Bee.txt")
        touch(root / "B" / "nfs_Bee.txt")
        touch(root / "C" / "Bee.txt")
        touch(root / "D" / "whatever" / "Bee.txt")
        found = trackers(root)
        assert sorted(found) == ["A", "B", "C", "D"]
        assert all(list(t.sequences) == ["bee"] for t in found.values())

    def test_pysot_root_of_data_sets(self, tmp_path):
        for dataset in ("OTB100", "LaSOT"):
            for tracker in ("SiamRPN", "ATOM"):
                touch(tmp_path / "results" / dataset / tracker / "a.txt")
        with pytest.raises(InputError, match=r"several data sets \(LaSOT, OTB100\); name one with --dataset"):
            trackers(tmp_path / "results")
        with pytest.raises(InputError, match=r"no data set named 'OTB-100'; the data sets here are LaSOT, OTB100"):
            trackers(tmp_path / "results", dataset="OTB-100")
        result = layouts.find_results([str(tmp_path / "results")], "otb100")
        assert [t.name for t in result.trackers] == ["ATOM", "SiamRPN"]
        assert result.roots[0][1] == "pysot results root, data set OTB100"
        (tmp_path / "results" / "LaSOT" / "SiamRPN" / "a.txt").unlink()
        (tmp_path / "results" / "LaSOT" / "ATOM" / "a.txt").unlink()
        assert list(trackers(tmp_path / "results")) == ["ATOM", "SiamRPN"]  # one data set left


class TestAnnotations:
    def test_sequence_folder_layouts(self, tmp_path):
        anno = tmp_path / "anno"
        touch(anno / "Basketball.txt")
        touch(anno / "Bolt" / "groundtruth_rect.txt")
        touch(anno / "Bolt" / "attrs.txt")
        touch(anno / "car-1" / "groundtruth.txt")
        touch(anno / "car-1" / "full_occlusion.txt")
        touch(anno / "car-1" / "out_of_view.txt")
        touch(anno / "Jogging" / "groundtruth_rect.1.txt")
        touch(anno / "Jogging" / "groundtruth_rect.2.txt")
        touch(anno / "airplane" / "airplane-1" / "groundtruth.txt")  # class folders, as LaSOT's
        touch(anno / "airplane" / "airplane-1" / "absent.txt")
        found = layouts.find_annotations(anno).sequences
        assert sorted(found) == ["airplane-1", "basketball", "bolt", "car-1", "jogging-1", "jogging-2"]
        assert found["jogging-2"].name == "Jogging.2"
        assert found["jogging-2"].path == str(anno / "Jogging" / "groundtruth_rect.2.txt")
        assert found["car-1"].flag_paths == (str(anno / "car-1" / "full_occlusion.txt"),
                                            str(anno / "car-1" / "out_of_view.txt"))
        assert found["airplane-1"].flag_paths == (str(anno / "airplane" / "airplane-1" / "absent.txt"),)
        assert found["bolt"].attribute_path == str(anno / "Bolt" / "attrs.txt")

    def test_lasot_toolkit_annos(self, tmp_path):
        annos = tmp_path / "annos"
        touch(annos / "airplane-1.txt")
        touch(annos / "absent" / "airplane-1.txt")
        touch(annos / "att" / "airplane-1.txt")
        touch(annos / "nlp" / "airplane-1.txt")
        found = layouts.find_annotations(annos)
        assert found.layout == "LaSOT toolkit (annos/ with absent/)" and list(found.sequences) == ["airplane-1"]
        sequence = found.sequences["airplane-1"]
        assert sequence.flag_paths == (str(annos / "absent" / "airplane-1.txt"),)
        assert sequence.attribute_path == str(annos / "att" / "airplane-1.txt")

    def test_got10k_labels_and_the_list_file(self, tmp_path):
        val = tmp_path / "val"
        touch(val / "list.txt", "GOT-10k_Val_000001\n")
        for name in ("groundtruth.txt", "absence.label", "cover.label", "cut_by_image.label", "meta_info.ini"):
            touch(val / "GOT-10k_Val_000001" / name)
        found = layouts.find_annotations(val)
        assert found.layout == "GOT-10k" and list(found.sequences) == ["got-10k-val-000001"]
        sequence = found.sequences["got-10k-val-000001"]
        assert sequence.flag_paths == (str(val / "GOT-10k_Val_000001" / "absence.label"),)
        assert sequence.cover_path == str(val / "GOT-10k_Val_000001" / "cover.label")

    def test_errors(self, tmp_path):
        with pytest.raises(InputError, match="no annotation found"):
            layouts.find_annotations(touch(tmp_path / "a" / "x.md").parent)
        touch(tmp_path / "b" / "car-1.txt")
        touch(tmp_path / "b" / "Car_1" / "groundtruth.txt")
        with pytest.raises(InputError, match="name the same sequence"):
            layouts.find_annotations(tmp_path / "b")

    def test_absence_flags_combine_and_must_cover_every_frame(self, tmp_path):
        from velmora import benchmark
        folder = tmp_path / "s"
        touch(folder / "groundtruth.txt", "1,1,5,5\n" * 3 + "nan,nan,nan,nan\n" + "1,1,5,5\n")
        touch(folder / "full_occlusion.txt", "0,1,0,0,0")
        touch(folder / "out_of_view.txt", "0,0,0,0,1")
        sequence = layouts.find_annotations(tmp_path).sequences["s"]
        truth = benchmark.read_truth(sequence)
        assert truth.boxes.shape == (5, 4) and (truth.flagged, truth.nan_lines) == (2, 1)
        assert truth.absent.tolist() == [False, True, False, True, True]
        # Without flags a NaN line is still no box to score.
        assert benchmark.read_truth(sequence, use_flags=False).absent.tolist() == [False, False, False, True, False]
        touch(folder / "out_of_view.txt", "0,0,0")
        with pytest.raises(InputError, match=r"out_of_view\.txt: 3 flags for the 5 frames"):
            benchmark.read_truth(sequence)
